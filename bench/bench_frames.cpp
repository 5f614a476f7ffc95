// Thumbnail analysis plus strip fit on a full-strip thumbnail at the unit's thumbnail resolution,
// on one core: the thumbnail is taken from the emulated unit's film through the session first
// (not timed), then `thumbnail::frames` and `thumbnail::frames_type2` run on it. Beside them, a
// sum over the same planes measured in the same run, as a floor for anything that reads every
// sample once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "emulator/film.hpp"
#include "emulator/unit.hpp"
#include "scan/framing.hpp"
#include "scan/thumbnail.hpp"
#include "scan/window.hpp"
#include "session/session.hpp"

using namespace vexlor;
using Clock = std::chrono::steady_clock;

namespace {

// The median of `runs` timings of `f`, in milliseconds.
double median_ms(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

struct Case {
    const char* name;
    protocol::model::Model model;
    emulator::film::Plan plan;
    protocol::caps::film::FilmFormat format;
    bool perforated;
};

int run(const Case& c) {
    auto unit = std::make_shared<emulator::Unit>(c.model);
    if (c.perforated) unit->edit([](emulator::ModelValues& v) { v.features.data_types |= std::uint64_t{1} << 30 | std::uint64_t{3} << 32; });
    unit->set_film(emulator::film::strip(unit->values(), c.plan));
    auto session = session::Session::open(std::make_unique<emulator::LocalTransport>(unit));
    if (!session) {
        std::fprintf(stderr, "open: %s\n", error::to_string(session.error()).c_str());
        return 1;
    }
    const auto& caps = session->caps;
    protocol::decode::Samples samples;
    auto pass = session->scan_thumbnail_with(samples, {});
    if (!pass || !pass->complete) {
        std::fprintf(stderr, "thumbnail pass failed\n");
        return 1;
    }
    const auto readings = unit->perforations();
    const std::uint32_t length = scan::framing::feed_addresses(caps, scan::framing::frame_length(c.format));
    const auto& l = pass->started.layout;
    std::printf("%s: thumbnail %u x %u pixels, %zu planes, %u dpi, %zu frames on the film\n", c.name, l.pixels, l.lines,
                samples.planes.size(), caps.address.thumbnail_dpi_min, static_cast<std::size_t>(c.plan.count));

    constexpr int RUNS = 15;
    volatile std::uint64_t sink = 0;
    const double sum_ms = median_ms(RUNS, [&] {
        std::uint64_t total = 0;
        for (const auto& p : samples.planes) {
            for (const std::uint16_t v : p) total += v;
        }
        sink = sink + total;
    });
    std::size_t found = 0;
    const double frames_ms = median_ms(RUNS, [&] {
        auto r = scan::thumbnail::frames(caps, *pass, samples, length);
        found = r ? r->rects.size() : 0;
    });
    std::printf("  sum over the planes (reference):  %7.2f ms\n", sum_ms);
    std::printf("  analysis + strip fit (rects):     %7.2f ms  (%.1f x the sum), %zu frames\n", frames_ms, frames_ms / sum_ms, found);
    if (!readings.empty()) {
        const double type2_ms = median_ms(RUNS, [&] {
            auto r = scan::thumbnail::frames_type2(caps, *pass, samples, readings, length);
            found = r ? r->positions.size() : 0;
        });
        std::printf("  analysis + strip fit (positions): %7.2f ms  (%.1f x the sum), %zu frames\n", type2_ms, type2_ms / sum_ms, found);
    }
    return 0;
}

}  // namespace

int main() {
    using protocol::caps::film::FilmFormat;
    using protocol::model::Model;
    const Case cases[] = {
        {"135 strip of six, 4000-dpi unit", Model::Ls50, emulator::film::Plan{.count = 6}, FilmFormat(FilmFormat::Kind::F135), true},
        {"6x6 strip of four, medium-format unit", Model::Ls8000,
         emulator::film::Plan{.frame = 5600, .width = 5500, .gap = 300, .count = 4, .perforated = false}, FilmFormat(FilmFormat::Kind::F66),
         false},
    };
    for (const auto& c : cases) {
        if (const int rc = run(c)) return rc;
    }
    std::printf("goal: analysis + fit under 50 ms on one core\n");
    return 0;
}
