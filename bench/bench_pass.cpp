// The pass engine over the in-process emulated link, on a full 4000-dpi 135 frame with infrared,
// 16-bit: (a) the link paced at 40 MB/s, the process's CPU time over the pass's wall time; (b) an
// unpaced link, end-to-end MB/s beside the decoder's own rate on the same stream at the same chunk
// size, measured in this run. The emulated unit serves a pre-rendered stream, so its own cost is a
// copy per READ.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "emulator/unit.hpp"
#include "scan/window.hpp"
#include "session/session.hpp"

using namespace vexlor;
using Clock = std::chrono::steady_clock;

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double peak_rss_mb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

struct Served {
    std::vector<std::uint8_t> stream;
    std::size_t at = 0;
    double rate = 0;  // bytes a second; 0: as fast as it goes
};

void serve(emulator::Unit& unit, std::shared_ptr<Served> s) {
    unit.on(session::opcode::SCAN, emulator::Unit::Command{[](emulator::Unit&, auto, auto) { return emulator::Response::good(); },
                                                           [](auto cdb) { return std::size_t{cdb[4]}; }});
    unit.on(session::opcode::READ, [s](emulator::Unit&, std::span<const std::uint8_t> cdb, auto) {
        const std::size_t want = (std::size_t{cdb[6]} << 16) | (std::size_t{cdb[7]} << 8) | cdb[8];
        const std::size_t n = std::min(want, s->stream.size() - s->at);
        if (n == 0) return emulator::Response::check(0x05, 0x2C, 0x00);
        const auto began = Clock::now();
        emulator::Response r = emulator::Response::with_data(
            std::vector<std::uint8_t>(s->stream.begin() + static_cast<std::ptrdiff_t>(s->at),
                                      s->stream.begin() + static_cast<std::ptrdiff_t>(s->at + n)));
        s->at += n;
        if (s->rate > 0) std::this_thread::sleep_until(began + std::chrono::duration<double>(static_cast<double>(n) / s->rate));
        return r;
    });
}

}  // namespace

int main() {
    auto unit = std::make_shared<emulator::Unit>(protocol::model::Model::Ls5000);
    auto session = session::Session::open(std::make_unique<emulator::LocalTransport>(unit));
    if (!session) {
        std::fprintf(stderr, "open: %s\n", error::to_string(session.error()).c_str());
        return 1;
    }
    const auto& caps = session->caps;
    const scan::window::Recipe recipe{caps.address.x.optical_dpi, 1, 0x02, true};
    const protocol::data::Rect rect{caps.address.y.origin_min, caps.address.x.origin_min, caps.address.y.origin_min + 5959,
                                    caps.address.x.origin_min + 3950};
    auto windows = recipe.windows(caps, rect);
    if (!windows) {
        std::fprintf(stderr, "windows: %s\n", error::to_string(windows.error()).c_str());
        return 1;
    }
    auto layout = protocol::image::Layout::make(caps, *windows, session->units, std::nullopt);
    if (!layout) return 1;
    auto served = std::make_shared<Served>();
    served->stream.resize(layout->total_bytes());
    std::mt19937_64 gen(1);
    for (std::size_t i = 0; i + 8 <= served->stream.size(); i += 8) {
        const std::uint64_t v = gen();
        std::memcpy(served->stream.data() + i, &v, 8);
    }
    serve(*unit, served);
    const double mb = static_cast<double>(served->stream.size()) / 1e6;
    std::size_t chunk = session->transport->max_transfer();
    if (caps.address.max_transfer) chunk = std::min<std::size_t>(chunk, *caps.address.max_transfer);
    std::printf("frame: %u x %u pixels, %zu windows, %.1f MB, READs of up to %zu bytes\n", layout->pixels, layout->lines,
                windows->size(), mb, chunk);

    // References in the same run: memcpy and the decoder alone at the READ size.
    {
        std::vector<std::uint8_t> dst(chunk);
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < served->stream.size(); i += chunk) {
            const std::size_t n = std::min(chunk, served->stream.size() - i);
            std::memcpy(dst.data(), served->stream.data() + i, n);
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("memcpy at the READ size:      %8.0f MB/s\n", mb / s);
    }
    double decoder_rate = 0;
    {
        auto d = protocol::decode::Decoder::make(*layout);
        protocol::decode::Samples samples;
        samples.resize_for(*d);
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < served->stream.size(); i += chunk) {
            const std::size_t n = std::min(chunk, served->stream.size() - i);
            (void)d->push(std::span(served->stream).subspan(i, n), samples);
        }
        decoder_rate = mb / std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("decoder alone:                %8.0f MB/s\n", decoder_rate);
    }

    protocol::decode::Samples samples;
    for (const double rate : {0.0, 40e6}) {
        served->at = 0;
        served->rate = rate;
        std::size_t reports = 0;
        const double cpu0 = cpu_seconds();
        const auto t0 = Clock::now();
        auto pass = session->scan_pass_with(*windows, std::chrono::seconds(1800), samples, [&](const auto&) {
            ++reports;
            return false;
        });
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = cpu_seconds() - cpu0;
        if (!pass || !pass->complete) {
            std::fprintf(stderr, "pass failed\n");
            return 1;
        }
        if (rate == 0) {
            std::printf("pass, unpaced link:           %8.0f MB/s end to end (%.0f %% of the decoder), %zu reports\n", mb / wall,
                        100.0 * (mb / wall) / decoder_rate, reports);
        } else {
            std::printf("pass, link paced at 40 MB/s:  %8.2f s wall, CPU %.3f s = %.1f %% of one core (emulator's copies included)\n",
                        wall, cpu, 100.0 * cpu / wall);
        }
    }
    std::printf("peak RSS: %.0f MB (the stream served %.0f MB, the four planes %.0f MB)\n", peak_rss_mb(), mb,
                static_cast<double>(layout->pixels) * layout->lines * 2 * 4 / 1e6);
    return 0;
}
