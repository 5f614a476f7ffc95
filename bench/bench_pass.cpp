// The pass engine over the in-process emulated link, on a full 4000-dpi 135 frame with infrared,
// 16-bit: (a) the link paced at 40 MB/s, the process's CPU time over the pass's wall time; (b) an
// unpaced link, end-to-end MB/s beside the decoder's own rate on the same stream at the same chunk
// size, measured in this run. The emulated unit serves a pre-rendered stream, so its own cost is a
// copy per READ.
#include <sys/resource.h>

#include <algorithm>
#include <array>
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

// One frame at one interleaving; 0 when it ran.
int run(protocol::model::Model model, std::uint8_t interleaving, const char* name) {
    auto unit = std::make_shared<emulator::Unit>(model);
    auto session = session::Session::open(std::make_unique<emulator::LocalTransport>(unit));
    if (!session) {
        std::fprintf(stderr, "open: %s\n", error::to_string(session.error()).c_str());
        return 1;
    }
    const auto& caps = session->caps;
    const std::uint16_t dpi = caps.address.x.optical_dpi;
    if (interleaving == 0) interleaving = scan::window::interleaving_for(caps, dpi, false);
    const scan::window::Recipe recipe{dpi, 1, interleaving, true};
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
    const std::size_t chunk = session->image_read_limit();
    std::printf("\n%s: frame %u x %u pixels, %zu windows, %.1f MB, READs of up to %zu bytes\n", name, layout->pixels,
                layout->lines, windows->size(), mb, chunk);

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
    // The emulated unit alone: the same READs straight through the session's link, no engine,
    // paced at 40 MB/s as in the paced pass (its sleeps and wake-ups are its own cost).
    double emulator_cpu = 0;
    {
        served->rate = 40e6;
        std::vector<std::uint8_t> into(chunk);
        const std::size_t unit_bytes = std::max<std::size_t>(static_cast<std::size_t>(std::max(layout->first_unit, layout->unit)), 1);
        const std::size_t want = chunk / unit_bytes * unit_bytes;
        const std::array<std::uint8_t, 10> cdb{session::opcode::READ, 0, 0, 0, 0, 1, static_cast<std::uint8_t>(want >> 16),
                                               static_cast<std::uint8_t>(want >> 8), static_cast<std::uint8_t>(want), 0x80};
        served->at = 0;
        const double cpu0 = cpu_seconds();
        while (served->at < served->stream.size()) {
            const auto r = session->transport->execute(cdb, transport::Data::in(into), std::chrono::seconds(1));
            if (!r || r->transferred == 0) break;
        }
        emulator_cpu = cpu_seconds() - cpu0;
        served->rate = 0;
        std::printf("emulated unit alone, paced:   %8.3f s CPU to serve the stream\n", emulator_cpu);
    }
    const double rss_before = peak_rss_mb();
    protocol::decode::Samples samples;
    double unpaced = 0;
    // The first pass only faults the planes in, as the first scan of a session does.
    for (const double rate : {-1.0, 0.0, 40e6}) {
        served->at = 0;
        served->rate = std::max(rate, 0.0);
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
            std::fprintf(stderr, "pass failed: %s\n", pass ? "incomplete" : error::debug_string(pass.error()).c_str());
            return 1;
        }
        if (rate < 0) {
            std::printf("first pass (planes faulted in): %6.0f MB/s end to end\n", mb / wall);
        } else if (rate == 0) {
            unpaced = mb / wall;
            std::printf("pass, unpaced link:           %8.0f MB/s end to end, %zu reports\n", unpaced, reports);
        } else {
            std::printf("pass, link paced at 40 MB/s:  %8.2f s wall, CPU %.3f s = %.1f %% of one core; less the unit's own: %.1f %%\n",
                        wall, cpu, 100.0 * cpu / wall, 100.0 * (cpu - emulator_cpu) / wall);
        }
    }
    // A slow unit: two seconds of a 1 MB/s link, then cancelled; waiting costs no CPU.
    {
        served->at = 0;
        served->rate = 1e6;
        const double cpu0 = cpu_seconds();
        const auto t0 = Clock::now();
        auto pass = session->scan_pass_with(*windows, std::chrono::seconds(1800), samples,
                                            [&](const auto&) { return Clock::now() - t0 > std::chrono::seconds(2); });
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("pass, link at 1 MB/s (idle):  %8.2f s wall, CPU %.3f s = %.2f %% of one core\n", wall, cpu_seconds() - cpu0,
                    100.0 * (cpu_seconds() - cpu0) / wall);
    }
    const double peak = peak_rss_mb();
    double decoder_rate = 0;
    {
        auto d = protocol::decode::Decoder::make(*layout);
        // As the pass drives it: rows corrected, single lines gathered eight at a time.
        if (d->rows() > 1) d->curves = session->curves;
        if (d->rows() * d->gap() == 1) d->gather(8);
        samples.resize_for(*d);  // the passes' planes, so no new memory
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < served->stream.size(); i += chunk) {
            const std::size_t n = std::min(chunk, served->stream.size() - i);
            (void)d->push(std::span(served->stream).subspan(i, n), samples);
        }
        (void)d->flush(samples);
        decoder_rate = mb / std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("decoder alone, same chunks:   %8.0f MB/s; the unpaced pass ran at %.0f %% of it\n", decoder_rate,
                    100.0 * unpaced / decoder_rate);
    }
    std::printf("peak RSS: %.0f MB, of which the passes added %.0f MB (the four planes %.0f MB, three READ buffers %.2f MB)\n",
                peak, peak - rss_before, static_cast<double>(layout->pixels) * layout->lines * 2 * 4 / 1e6,
                3.0 * static_cast<double>(chunk) / 1e6);
    return 0;
}

int main() {
    // As frame scans read them: all CCD rows at once where a group fits a READ, else a row at a time.
    if (int rc = run(protocol::model::Model::Ls9000, 0, "LS-9000, all rows at once")) return rc;
    return run(protocol::model::Model::Ls5000, 0x02, "LS-5000, one row at a time");
}
