#include "session/scan.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "bytes.hpp"
#include "diag/log.hpp"
#include "scan/thumbnail.hpp"
#include "session/session.hpp"
#include "try.hpp"

namespace vexlor::session {

namespace {

using namespace std::chrono_literals;
using protocol::window::Window;
using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view TARGET = "vexlor::session::scan";
constexpr auto THUMBNAIL_START_TIMEOUT = 600s;
constexpr std::size_t GATHER_LINES = 8;
// How long the calling thread waits for a chunk before it asks whether the call should stop.
constexpr auto INTERRUPT_POLL = 100ms;

std::uint64_t ns_since(SteadyClock::time_point t) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - t).count());
}

}  // namespace

namespace scan {

void strip_truncation(std::vector<std::uint8_t>& chunk, StripPosition& at, const protocol::image::Layout& layout) {
    const std::uint64_t readings = std::max<std::uint64_t>(layout.readings, 1);
    const std::uint64_t all = layout.channels.size();
    const auto infrared = protocol::window::Channel::of(protocol::window::Channel::Kind::Infrared);
    const bool has_ir = std::find(layout.channels.begin(), layout.channels.end(), infrared) != layout.channels.end();
    const std::uint64_t colors = all - (has_ir ? 1 : 0);
    const std::uint64_t group = layout.group;
    const std::uint64_t line_bytes = std::uint64_t{layout.sample_bytes} * layout.pixels;
    const std::uint64_t first_kept = layout.head_lines;
    const std::uint64_t end_kept = first_kept + layout.lines;

    std::size_t in = 0;
    std::size_t out = 0;
    const std::size_t size = chunk.size();
    while (in < size) {
        const bool first = at.record == 0;
        const bool ir_edges = first && readings > 1 && has_ir;
        const std::uint64_t channels = (first ? all : colors);
        const auto& edges = ir_edges ? layout.ir_edges : layout.color_edges;
        std::uint64_t k = group * (edges.first + edges.second + line_bytes * channels);
        if (k == 0) k = 1;
        const std::uint64_t lead = group * edges.first;
        const std::uint64_t trail_at = k - std::min(k, group * edges.second);
        const std::uint64_t line = at.line * group;
        const bool kept = line >= first_kept && line < end_kept;

        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k - at.offset, size - in));
        if (kept) {
            // The part of [offset, offset + take) that lies within [lead, trail_at).
            const std::uint64_t from = std::max(at.offset, lead);
            const std::uint64_t to = std::min(at.offset + take, trail_at);
            if (from < to) {
                const std::size_t n = static_cast<std::size_t>(to - from);
                const std::size_t source = in + static_cast<std::size_t>(from - at.offset);
                if (source != out) std::memmove(chunk.data() + out, chunk.data() + source, n);  // nothing dropped yet: in place
                out += n;
            }
        }
        in += take;
        at.offset += take;
        if (at.offset == k) {
            at.offset = 0;
            if (++at.record == readings) {
                at.record = 0;
                ++at.line;
            }
        }
    }
    chunk.resize(out);
}

void read_chunks(Session& session, const protocol::image::Layout& layout, channel::Sender<Chunk> chunks,
                 channel::Receiver<std::vector<std::uint8_t>> buffers, Counters& counters) {
    auto reader = session.image_chunks(layout);
    if (!reader) {
        // No reader exists to close the scan that was started, so stop it here.
        session.abandon_scan();
        chunks.send(Chunk{Chunk::Failed{std::move(reader).error()}});
        chunks.send(Chunk{Chunk::End{}});
        return;
    }
    // The pool's buffers come first on the channel, sent before the unit started.
    for (std::size_t taken = 0;; ++taken) {
        const auto waited = SteadyClock::now();
        auto back = buffers.recv();
        if (taken >= POOL) counters.starved_ns.fetch_add(ns_since(waited));
        if (!back) break;  // the calling thread has left
        if (taken >= POOL) VX_TRACE(TARGET, "got empty buffer");
        std::vector<std::uint8_t> buffer = std::move(*back);
        const auto began = SteadyClock::now();
        auto n = reader->fill(buffer);
        counters.read_ns.fetch_add(ns_since(began));
        if (!n) {
            chunks.send(Chunk{Chunk::Failed{std::move(n).error()}});
            chunks.send(Chunk{Chunk::End{}});
            break;
        }
        if (!*n) {
            chunks.send(Chunk{Chunk::End{}});
            break;
        }
        counters.chunks.fetch_add(1);
        counters.bytes.fetch_add(**n);
        if (!chunks.send(Chunk{Chunk::Data{std::move(buffer)}})) break;
    }
    // The channel ends go first, so the calling thread sees the end before the scan is closed.
    chunks.close();
    buffers.close();
}

}  // namespace scan

namespace {

// The worker's end: set once its reader is gone (the scan closed), whatever way it left.
class Finished {
public:
    void set(bool out_of_memory) {
        {
            std::lock_guard lock(m_);
            done_ = true;
            out_of_memory_ = out_of_memory;
        }
        cv_.notify_all();
    }
    bool wait_for(std::chrono::milliseconds d) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, d, [this] { return done_; });
    }
    bool out_of_memory() {
        std::lock_guard lock(m_);
        return out_of_memory_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool out_of_memory_ = false;
};

void run_reader(Session& session, const protocol::image::Layout& layout, channel::Sender<scan::Chunk> chunks,
                channel::Receiver<std::vector<std::uint8_t>> buffers, scan::Counters& counters, Finished& finished) {
    bool out_of_memory = false;
    try {
        scan::read_chunks(session, layout, std::move(chunks), std::move(buffers), counters);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;  // raised on the calling thread after the join
    }
    finished.set(out_of_memory);
}

// How often the calling thread, waiting for the worker to close the scan, asks for a second stop.
constexpr auto CLEANUP_POLL = 50ms;

}  // namespace

error::Result<vexlor::scan::pass::Pass> Session::scan_pass_with(std::span<const Window> windows, Duration start_timeout,
                                                                protocol::decode::Samples& samples,
                                                                const vexlor::session::scan::ProgressFn& progress) {
    namespace es = vexlor::session::scan;
    // Everything the pass needs is allocated before the unit starts it: a pass that cannot fit
    // fails with nothing sent. The planes' size does not depend on what SCAN's cooperation adds.
    if (auto planned = protocol::image::Layout::make(caps, windows, units, std::nullopt)) {
        if (auto d = protocol::decode::Decoder::make(*planned)) samples.resize_for(*d);
    }
    auto [chunk_tx, chunk_rx] = channel::make<es::Chunk>();
    auto [buffer_tx, buffer_rx] = channel::make<std::vector<std::uint8_t>>();
    for (std::size_t i = 0; i < es::POOL; ++i) buffer_tx.send(std::vector<std::uint8_t>(image_read_limit(), 0));

    VX_TRY(auto started, start_pass(windows, start_timeout));
    // Until the worker's reader owns it, any way out stops the scan.
    ScanGuard guard(*this);
    const auto& layout = started.layout;
    const std::uint64_t total = layout.total_bytes();
    const auto held_curves = curves;
    auto decoder = protocol::decode::Decoder::make(layout);
    if (!decoder) return std::unexpected(std::move(decoder).error());
    const bool all_rows = layout.interleaving.contains(protocol::caps::set_window::interleaving::MULTILINE_SIMULTANEOUS);
    if (all_rows && decoder->rows() > 1 && held_curves) decoder->curves = held_curves;
    // A READ of one line at a time would have each line written into the planes alone.
    if (decoder->rows() * decoder->gap() == 1) decoder->gather(2 * GATHER_LINES);
    samples.resize_for(*decoder);

    es::Counters counters;
    es::StripPosition position;
    SteadyClock::duration decode_time{}, idle_time{};
    std::uint64_t bytes_done = 0;
    error::Result<void> outcome;
    Finished finished;
    {
        std::jthread worker;
        try {
            worker = std::jthread(run_reader, std::ref(*this), std::cref(layout), std::move(chunk_tx), std::move(buffer_rx),
                                  std::ref(counters), std::ref(finished));
        } catch (const std::system_error& e) {
            return std::unexpected(error::Error(transport::Error::io(transport::IoKind::Other,
                                                                     fmt::format("could not start the pass's reader: {}", e.what()))));
        }
        guard.release();
        // Whatever way the loop is left (its end, an error, a cancel, a throw), this runs before the
        // worker is joined: a READ in flight is cut short when we leave early, our channel ends are
        // closed so a worker waiting for a buffer wakes, and while the worker stops the scan a
        // second stop from the caller cuts that short too.
        bool worker_ended = false;
        struct Leave {
            Session& s;
            bool& worker_ended;
            channel::Receiver<es::Chunk>& chunks;
            channel::Sender<std::vector<std::uint8_t>>& buffers;
            Finished& finished;
            ~Leave() {
                const Cleanup waiting(s);
                if (!worker_ended) s.request_stop();
                chunks.close();
                buffers.close();
                while (!finished.wait_for(CLEANUP_POLL)) {
                    if (s.interrupted()) s.request_stop();
                }
                // A worker that had already ended never saw the stop: it must not cut the next command.
                s.stop_.store(false);
            }
        } leave{*this, worker_ended, chunk_rx, buffer_tx, finished};
        for (;;) {
            const auto waited = SteadyClock::now();
            bool timed_out = false;
            auto chunk = chunk_rx.recv_for(INTERRUPT_POLL, timed_out);
            idle_time += SteadyClock::now() - waited;
            if (timed_out) {
                if (!interrupted()) continue;
                outcome = std::unexpected(error::Error::cancelled());
                break;
            }
            if (!chunk || std::holds_alternative<es::Chunk::End>(chunk->value)) {
                worker_ended = true;
                break;
            }
            if (auto* failed = std::get_if<es::Chunk::Failed>(&chunk->value)) {
                worker_ended = true;
                outcome = std::unexpected(std::move(failed->error));
                break;
            }
            auto& bytes = std::get<es::Chunk::Data>(chunk->value).bytes;
            const std::size_t raw = bytes.size();
            es::strip_truncation(bytes, position, layout);
            const auto began = SteadyClock::now();
            auto pushed = decoder->push(bytes, samples);
            buffer_tx.send(std::move(bytes));
            // The reader has its buffer back before the held lines are decoded.
            if (pushed && decoder->held() >= GATHER_LINES) pushed = decoder->flush(samples);
            decode_time += SteadyClock::now() - began;
            if (!pushed) {
                outcome = std::unexpected(std::move(pushed).error());
                break;
            }
            bytes_done += raw;
            if ((progress && progress(es::Progress{bytes_done, total, static_cast<std::size_t>(decoder->blocks())})) ||
                interrupted()) {
                outcome = std::unexpected(error::Error::cancelled());
                break;
            }
        }
    }
    if (finished.out_of_memory()) throw std::bad_alloc();
    if (outcome) outcome = decoder->flush(samples);
    if (!outcome) return std::unexpected(std::move(outcome).error());

    const std::uint64_t expected = layout.lines / (decoder->rows() * decoder->gap());
    const std::uint64_t blocks = decoder->blocks();
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    VX_DEBUG(TARGET, "pass", diag::field("blocks", blocks), diag::field("complete", blocks == expected),
             diag::field("chunks", counters.chunks.load()), diag::field("bytes", counters.bytes.load()),
             diag::field("read_ms", counters.read_ns.load() / 1'000'000), diag::field("starved_ms", counters.starved_ns.load() / 1'000'000),
             diag::field("decode_ms", ms(decode_time)), diag::field("idle_ms", ms(idle_time)));
    if (blocks != expected) VX_WARN(TARGET, "the unit gave less than the pass promised", diag::field("blocks", blocks));
    vexlor::scan::pass::Pass pass;
    pass.started = std::move(started);
    pass.blocks = static_cast<std::size_t>(blocks);
    pass.rows = pass.started.layout.pixels;
    pass.cols = pass.started.layout.lines;
    pass.complete = blocks == expected;
    return pass;
}

error::Result<vexlor::scan::pass::Pass> Session::scan_thumbnail_with(protocol::decode::Samples& samples,
                                                                     const vexlor::session::scan::ProgressFn& progress) {
    if (!caps.set_window.kinds.contains(protocol::caps::set_window::kind::THUMBNAIL) || caps.address.thumbnail_dpi_min == 0) {
        return std::unexpected(error::Error::unsupported("thumbnail", "this unit and adapter do not offer thumbnail scanning"));
    }
    VX_TRY(auto windows, vexlor::scan::thumbnail::windows(caps));
    const auto seeded = seed_white_balance(windows);
    return scan_pass_with(seeded, THUMBNAIL_START_TIMEOUT, samples, progress);
}

std::expected<std::uint32_t, std::string> Session::white_balance(std::uint8_t id) {
    auto record = read_record(protocol::data::DataType::WhiteBalanceExposure, id);
    if (!record) return std::unexpected(error::to_string(record.error()));
    if (record->payload.size() < 4) return std::unexpected(fmt::format("WhiteBalanceExposure color {} was empty", id));
    const std::uint32_t exposure = bytes::be32(record->payload.data());
    VX_DEBUG("vexlor::session::data", "start-up exposure", diag::field("color", id), diag::field("exposure", exposure));
    return exposure;
}

std::vector<Window> Session::seed_white_balance(std::span<const Window> windows) {
    std::vector<Window> out(windows.begin(), windows.end());
    for (auto& w : out) {
        auto exposure = white_balance(w.id);
        if (!exposure) {
            VX_DEBUG("vexlor::session::autoexpose", "no start-up exposure for this channel", diag::field("id", w.id),
                     diag::Field{"e", exposure.error()});
            continue;
        }
        w.exposure = *exposure;
    }
    return out;
}

}  // namespace vexlor::session
