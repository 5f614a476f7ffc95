// Dust removal on a synthetic 4000-dpi 135 frame (3,950 x 5,808, red, green, blue, infrared)
// with about 1 % of its pixels under dust, hairs and scratches: clean_frame on 1 and 2 threads,
// the first and the tenth frame of a roll cleaned on one workspace (as a session keeps it), the
// time of each stage, the page faults and the peak memory, and the error against the undamaged
// frame.
//
// Writes the frame, the undamaged colour, the cleaned colour and the defect mask as raw files to
// $VEXLOR_BENCH_DIR (default /tmp/vexlor-bench-dust) for bench/inpaint_reference.py.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "dust/dust.hpp"
#include "scan/clean.hpp"

using namespace vexlor;

namespace {

constexpr std::size_t ROWS = 3950;  // pixels across a scanner line
constexpr std::size_t COLS = 5808;  // scanner lines
constexpr std::size_t N = ROWS * COLS;

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        s += 0x9E3779B97F4A7C15ULL;
        return dust::mix(s);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(unit() * static_cast<double>(n)); }
};

double density_of(double v) { return std::log2(v + 1.0) * 4095.9375; }
std::uint16_t level_for(double d) {
    return static_cast<std::uint16_t>(std::clamp(std::round(std::exp2(d / 4095.9375) - 1.0), 0.0, 65535.0));
}

struct Frame {
    std::array<std::vector<std::uint16_t>, 3> truth;
    std::array<std::vector<std::uint16_t>, 3> color;
    std::vector<std::uint16_t> infrared;
    std::vector<std::uint8_t> drawn;
};

Frame make_frame() {
    Frame f;
    for (auto& p : f.truth) p.resize(N);
    f.infrared.resize(N);
    f.drawn.assign(N, 0);
    Rng rng{42};
    // Separable waves for broad shapes, a finer pattern for detail, and per-pixel grain.
    std::vector<double> wy(ROWS), wx(COLS), fy(ROWS), fx(COLS);
    for (std::size_t y = 0; y < ROWS; ++y) {
        wy[y] = std::sin(static_cast<double>(y) / 410.0);
        fy[y] = std::sin(static_cast<double>(y) / 6.3);
    }
    for (std::size_t x = 0; x < COLS; ++x) {
        wx[x] = std::cos(static_cast<double>(x) / 530.0);
        fx[x] = std::cos(static_cast<double>(x) / 8.1);
    }
    const double crosstalk = 0.05;
    const double base = density_of(58000) - crosstalk * density_of(20000);
    for (std::size_t y = 0; y < ROWS; ++y) {
        for (std::size_t x = 0; x < COLS; ++x) {
            const std::size_t i = y * COLS + x;
            const double broad = wy[y] * wx[x];
            const double fine = fy[y] * fx[x];
            const double grain = rng.unit() - 0.5;
            const double r = 21000 + 14000 * broad + 4000 * fine + 600 * grain;
            const double g = 24000 - 9000 * broad + 3000 * fine * wy[y] + 600 * grain;
            const double b = 16000 + 6000 * wx[x] + 2500 * fine + 600 * grain;
            f.truth[0][i] = static_cast<std::uint16_t>(std::clamp(r, 50.0, 65000.0));
            f.truth[1][i] = static_cast<std::uint16_t>(std::clamp(g, 50.0, 65000.0));
            f.truth[2][i] = static_cast<std::uint16_t>(std::clamp(b, 50.0, 65000.0));
            const double noise = (rng.unit() - 0.5) * 4.0;
            f.infrared[i] = level_for(base + crosstalk * density_of(f.truth[0][i]) + noise);
        }
    }
    // The edge of the frame: nothing passes, infrared included.
    for (std::size_t y = 0; y < 60; ++y) {
        for (std::size_t x = 0; x < COLS; ++x) {
            const std::size_t i = y * COLS + x;
            f.infrared[i] = 150;
            for (auto& p : f.truth) p[i] = 250;
        }
    }
    f.color = f.truth;

    std::size_t drawn = 0;
    double shade = 0.3;
    const auto hit = [&](std::ptrdiff_t y, std::ptrdiff_t x) {
        if (y < 80 || x < 0 || y >= static_cast<std::ptrdiff_t>(ROWS) || x >= static_cast<std::ptrdiff_t>(COLS)) return;
        const std::size_t i = static_cast<std::size_t>(y) * COLS + static_cast<std::size_t>(x);
        if (f.drawn[i]) return;
        f.drawn[i] = 1;
        ++drawn;
        f.infrared[i] = static_cast<std::uint16_t>(f.infrared[i] * shade);
        for (auto& p : f.color) p[i] = static_cast<std::uint16_t>(p[i] * shade);
    };
    const auto disc = [&](double cy, double cx, double r) {
        const auto ir = static_cast<std::ptrdiff_t>(std::ceil(r));
        for (std::ptrdiff_t dy = -ir; dy <= ir; ++dy) {
            for (std::ptrdiff_t dx = -ir; dx <= ir; ++dx) {
                if (static_cast<double>(dy * dy + dx * dx) <= r * r) {
                    hit(static_cast<std::ptrdiff_t>(cy) + dy, static_cast<std::ptrdiff_t>(cx) + dx);
                }
            }
        }
    };
    while (drawn < N / 100) {
        shade = 0.15 + 0.35 * rng.unit();
        const double kind = rng.unit();
        const double y = 80 + rng.unit() * (ROWS - 80);
        const double x = rng.unit() * COLS;
        if (kind < 0.7) {
            disc(y, x, 0.8 + 3.2 * rng.unit());  // dust
        } else if (kind < 0.93) {
            // A hair: a wandering thread.
            double a = rng.unit() * 6.283, cy = y, cx = x;
            const double width = 0.5 + rng.unit();
            for (std::size_t k = 0, len = 100 + rng.below(500); k < len; ++k) {
                a += (rng.unit() - 0.5) * 0.2;
                cy += std::sin(a);
                cx += std::cos(a);
                disc(cy, cx, width);
            }
        } else {
            // A scratch along the film.
            const std::size_t len = 400 + rng.below(2500);
            const std::size_t width = 1 + rng.below(2);
            for (std::size_t k = 0; k < len; ++k) {
                for (std::size_t w = 0; w < width; ++w) {
                    hit(static_cast<std::ptrdiff_t>(y + static_cast<double>(w)), static_cast<std::ptrdiff_t>(x + static_cast<double>(k)));
                }
            }
        }
    }
    return f;
}

long status_kb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(key));
    }
    return -1;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Processor time of the whole process, user and system: what the work costs whatever else
// runs on the machine.
double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

protocol::decode::Samples samples_of(const Frame& f) {
    protocol::decode::Samples s;
    s.planes = {f.color[0], f.color[1], f.color[2]};
    s.infrared = f.infrared;
    return s;
}

scan::pass::Pass pass_of() {
    scan::pass::Pass p;
    using protocol::window::Channel;
    p.started.layout.channels = {Channel::of(Channel::Kind::Red), Channel::of(Channel::Kind::Green),
                                 Channel::of(Channel::Kind::Blue), Channel::of(Channel::Kind::Infrared)};
    p.started.layout.dpi = 4000;
    p.rows = ROWS;
    p.cols = COLS;
    p.complete = true;
    return p;
}

struct Time {
    double wall = 0, cpu = 0;
};

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

struct Stopwatch {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();
    Time lap() {
        const Time t{seconds_since(wall), cpu_seconds() - cpu};
        wall = std::chrono::steady_clock::now();
        cpu = cpu_seconds();
        return t;
    }
};

constexpr const char* STAGE_NAMES[] = {"decimate", "calibrate", "screen", "list", "rebuild", "write-back"};
constexpr std::size_t STAGES = std::size(STAGE_NAMES);

struct Frame1 {
    std::array<Time, STAGES> stage{};
    Time total;
    long faults = 0;
    std::size_t rebuilt = 0;
};

// Puts the damaged frame into samples that already have room for it, as the next frame of a
// pass would arrive.
void load(protocol::decode::Samples& s, const Frame& f) {
    if (s.planes.size() != 3) s = samples_of(f);
    for (std::size_t ch = 0; ch < 3; ++ch) std::copy(f.color[ch].begin(), f.color[ch].end(), s.planes[ch].begin());
    std::copy(f.infrared.begin(), f.infrared.end(), s.infrared->begin());
}

// The driver's steps one by one on a workspace, timed: what clean_frame runs for this frame.
Frame1 staged(protocol::decode::Samples& s, dust::Workspace& workspace) {
    Frame1 t;
    const long faults = minor_faults();
    Stopwatch watch, whole;
    workspace.reserve(N);
    const std::size_t step = scan::clean::decimation_step(N);
    const std::size_t small = ROWS / step * (COLS / step);
    const auto [r, i] = workspace.scratch_planes(small);
    scan::clean::decimate(s.planes[0], COLS, step, r);
    scan::clean::decimate(*s.infrared, COLS, step, i);
    t.stage[0] = watch.lap();
    const auto cal = dust::calibrate(r, i, ROWS / step, COLS / step);
    const dust::Params params = dust::Params::make(dust::Settings{4000, 0.97f, 1}, *cal);
    t.stage[1] = watch.lap();
    dust::screen(workspace, *s.infrared, s.planes[0], ROWS, COLS, params);
    t.stage[2] = watch.lap();
    dust::list_defects(workspace, ROWS, COLS);
    t.stage[3] = watch.lap();
    dust::rebuild_listed(workspace, {s.planes[0], s.planes[1], s.planes[2]}, ROWS, COLS, params);
    t.stage[4] = watch.lap();
    t.rebuilt = dust::write_back(workspace, {s.planes[0], s.planes[1], s.planes[2]});
    t.stage[5] = watch.lap();
    t.total = whole.lap();
    t.faults = minor_faults() - faults;
    return t;
}

template <class Plane>
void write_raw(const std::string& path, const Plane& v) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(v[0])));
}

double mae(const Frame& f, const std::vector<std::vector<std::uint16_t>>& planes) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (!f.drawn[i]) continue;
        for (std::size_t ch = 0; ch < 3; ++ch) sum += std::abs(double(planes[ch][i]) - double(f.truth[ch][i]));
        n += 3;
    }
    return sum / double(n);
}

}  // namespace

int main() {
    std::printf("synthesising a %zu x %zu frame...\n", ROWS, COLS);
    const Frame frame = make_frame();
    std::size_t drawn = 0;
    for (auto d : frame.drawn) drawn += d;
    std::printf("damaged pixels: %zu (%.2f %%)\n", drawn, 100.0 * double(drawn) / double(N));
    dust::LUT();

    const auto pass = pass_of();
    protocol::decode::Samples cleaned;
    std::size_t rebuilt = 0;

    // The call without a workspace: every frame takes its images afresh.
    std::array<Time, 2> fresh;
    {
        std::array<std::vector<Time>, 2> runs;
        protocol::decode::Samples s;
        for (int rep = 0; rep < 5; ++rep) {
            for (const std::size_t threads : {1, 2}) {
                tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
                load(s, frame);
                Stopwatch watch;
                const auto r = scan::clean::clean_frame(s, pass, protocol::model::Model::Ls5000);
                runs[threads - 1].push_back(watch.lap());
                if (!r) {
                    std::printf("clean_frame failed\n");
                    return 1;
                }
                rebuilt = *r;
            }
        }
        for (std::size_t t = 0; t < 2; ++t) {
            auto& w = runs[t];
            std::sort(w.begin(), w.end(), [](const Time& a, const Time& b) { return a.wall < b.wall; });
            fresh[t] = w[w.size() / 2];
            std::printf("clean_frame without a workspace, %zu thread%s: wall best %.3f s, median %.3f s; processor %.3f s\n",
                        t + 1, t ? "s" : " ", w[0].wall, fresh[t].wall, fresh[t].cpu);
        }
        std::printf("  %zu pixels rebuilt; speed-up %.2fx (median wall times)\n", rebuilt, fresh[0].wall / fresh[1].wall);
    }

    // A roll: ten frames on one workspace, from a new workspace each run; clean_frame as the
    // session calls it, then the same steps timed one by one. One thread and two take turns, so
    // that whatever else runs on the machine falls on both alike; the best run of each counts.
    constexpr std::size_t ROLL = 10;
    constexpr int RUNS = 7;
    std::array<std::array<Time, 2>, 2> roll{};      // [threads - 1][first, tenth]
    std::array<std::array<Time, 2>, 2> typical{};   // the same, median runs
    std::array<std::array<Frame1, 2>, 2> parts{};  // the best runs, stage by stage
    std::array<std::array<std::vector<Time>, 2>, 2> whole;
    std::array<std::array<std::vector<Frame1>, 2>, 2> steps;
    std::size_t held = 0;
    {
        protocol::decode::Samples s;
        for (int rep = 0; rep < RUNS; ++rep) {
            for (const std::size_t threads : {1, 2}) {
                tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
                {
                    dust::Workspace workspace;
                    for (std::size_t k = 0; k < ROLL; ++k) {
                        load(s, frame);
                        Stopwatch watch;
                        const auto r = scan::clean::clean_frame(s, pass, protocol::model::Model::Ls5000, &workspace);
                        const Time t = watch.lap();
                        if (!r || *r != rebuilt) {
                            std::printf("clean_frame on a workspace differs\n");
                            return 1;
                        }
                        if (k == 0) whole[threads - 1][0].push_back(t);
                        if (k == ROLL - 1) whole[threads - 1][1].push_back(t);
                    }
                    held = workspace.bytes();
                    cleaned = s;
                }
                {
                    dust::Workspace workspace;
                    for (std::size_t k = 0; k < ROLL; ++k) {
                        load(s, frame);
                        const Frame1 f = staged(s, workspace);
                        if (f.rebuilt != rebuilt) {
                            std::printf("the stages differ from clean_frame\n");
                            return 1;
                        }
                        if (k == 0) steps[threads - 1][0].push_back(f);
                        if (k == ROLL - 1) steps[threads - 1][1].push_back(f);
                    }
                }
            }
        }
    }
    for (std::size_t t = 0; t < 2; ++t) {
        for (std::size_t which = 0; which < 2; ++which) {
            auto& w = whole[t][which];
            std::sort(w.begin(), w.end(), [](const Time& a, const Time& b) { return a.wall < b.wall; });
            roll[t][which] = w[0];
            typical[t][which] = w[w.size() / 2];
            auto& f = steps[t][which];
            std::sort(f.begin(), f.end(), [](const Frame1& a, const Frame1& b) { return a.total.wall < b.total.wall; });
            parts[t][which] = f[0];
        }
    }
    std::printf("a roll on one workspace (best of %d runs; wall / processor s):\n", RUNS);
    std::printf("  %-6s %-8s %-14s", "frame", "threads", "clean_frame");
    for (const char* name : STAGE_NAMES) std::printf(" %-13s", name);
    std::printf(" %-13s %s\n", "all stages", "page faults");
    for (std::size_t which = 0; which < 2; ++which) {
        for (std::size_t t = 0; t < 2; ++t) {
            const Time& w = roll[t][which];
            const Frame1& f = parts[t][which];
            std::printf("  %-6s %-8zu %.3f / %.3f", which ? "tenth" : "first", t + 1, w.wall, w.cpu);
            for (const Time& x : f.stage) std::printf("  %.3f / %.3f", x.wall, x.cpu);
            std::printf("  %.3f / %.3f  %ld\n", f.total.wall, f.total.cpu, f.faults);
        }
    }
    std::printf("  speed-up on two threads (clean_frame wall): first frame %.2fx, tenth frame %.2fx; "
                "median runs %.3f / %.3f s (first) and %.3f / %.3f s (tenth) on 1 / 2 threads\n",
                roll[0][0].wall / roll[1][0].wall, roll[0][1].wall / roll[1][1].wall, typical[0][0].wall, typical[1][0].wall,
                typical[0][1].wall, typical[1][1].wall);
    std::printf("  held by the workspace between frames: %.1f MiB\n", double(held) / (1024.0 * 1024.0));

    // What the machine's memory gives one thread and two: the per-pixel stages stream whole
    // images, so they speed up no more than this does.
    {
        std::vector<float> from(N, 1.0f), to(N);
        for (const std::size_t threads : {1, 2}) {
            tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
            double best = 1e30;
            for (int rep = 0; rep < 5; ++rep) {
                const auto at = std::chrono::steady_clock::now();
                tbb::parallel_for(tbb::blocked_range<std::size_t>(0, N, dust::CHUNK), [&](const tbb::blocked_range<std::size_t>& r) {
                    for (std::size_t i = r.begin(); i != r.end(); ++i) to[i] = from[i] * 1.5f + 1.0f;
                });
                best = std::min(best, seconds_since(at));
            }
            std::printf("streaming one image into another (%.0f MiB each way), %zu thread%s: %.1f ms\n",
                        double(N * 4) / (1024.0 * 1024.0), threads, threads == 1 ? " " : "s", best * 1e3);
        }
    }

    {
        protocol::decode::Samples s = samples_of(frame);
        const auto peak_above = [&](dust::Workspace* workspace) {
            load(s, frame);
            const long before = status_kb("VmRSS:");
            reset_peak();
            (void)scan::clean::clean_frame(s, pass, protocol::model::Model::Ls5000, workspace);
            return double(status_kb("VmHWM:") - before) / 1024.0;
        };
        const double alone = peak_above(nullptr);
        dust::Workspace workspace;
        const double first = peak_above(&workspace);
        const double again = peak_above(&workspace);
        std::printf("peak memory of clean_frame above the frame: without a workspace %.1f MiB; on a new workspace "
                    "%.1f MiB, on it again %.1f MiB (frame planes: %.1f MiB)\n",
                    alone, first, again, double(N * 2 * 4) / (1024.0 * 1024.0));
    }

    std::printf("mean absolute error over the damaged pixels: before %.1f, after clean_frame %.1f\n",
                mae(frame, {frame.color[0], frame.color[1], frame.color[2]}), mae(frame, cleaned.planes));

    // The frame and the mask the cleaner found, for the OpenCV reference.
    const char* env = std::getenv("VEXLOR_BENCH_DIR");
    const std::string dir = env ? env : "/tmp/vexlor-bench-dust";
    std::string mkdir = "mkdir -p '" + dir + "'";
    if (std::system(mkdir.c_str()) != 0) return 1;
    const auto cal = dust::calibrate(scan::clean::decimate(frame.color[0], COLS, 3),
                                     scan::clean::decimate(frame.infrared, COLS, 3), ROWS / 3, COLS / 3);
    const dust::Params params = dust::Params::make(dust::Settings{4000, 0.97f, 1}, *cal);
    const auto g = dust::gate(frame.infrared, frame.color[0], params.c, params);
    const auto mask = dust::decide(g, dust::confidence(g, COLS, params), ROWS, COLS, params);
    const char* names[3] = {"red", "green", "blue"};
    for (std::size_t ch = 0; ch < 3; ++ch) {
        write_raw(dir + "/damaged_" + names[ch] + ".u16", frame.color[ch]);
        write_raw(dir + "/truth_" + names[ch] + ".u16", frame.truth[ch]);
        write_raw(dir + "/cleaned_" + names[ch] + ".u16", cleaned.planes[ch]);
    }
    write_raw(dir + "/mask.u8", mask);
    write_raw(dir + "/drawn.u8", frame.drawn);
    // The tenth frame of the roll on two threads: what a session pays per frame.
    std::ofstream(dir + "/shape.txt") << ROWS << " " << COLS << " " << roll[1][1].wall << "\n";
    std::printf("frame and mask written to %s\n", dir.c_str());
}
