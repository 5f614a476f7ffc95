// The pass engine: a worker thread issues the image READs into three pooled buffers while the
// calling thread strips the unit's edge bytes, decodes and reports progress.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <variant>
#include <vector>

#include "channel.hpp"
#include "error.hpp"
#include "protocol/image.hpp"

namespace vexlor::session {
class Session;
}

namespace vexlor::session::scan {

struct Progress {
    std::uint64_t bytes_done = 0;   // raw, before the edge bytes are stripped
    std::uint64_t bytes_total = 0;  // every byte the pass should carry
    std::size_t blocks = 0;
    bool operator==(const Progress&) const = default;
};

// Answers true to stop the pass.
using ProgressFn = std::function<bool(const Progress&)>;

// One message from the worker: image bytes, a failure, or the end.
struct Chunk {
    struct Data {
        std::vector<std::uint8_t> bytes;
    };
    struct Failed {
        error::Error error;
    };
    struct End {};
    std::variant<Data, Failed, End> value;
};

struct Counters {
    std::atomic<std::uint64_t> read_ns{0};
    std::atomic<std::uint64_t> starved_ns{0};
    std::atomic<std::uint64_t> chunks{0};
    std::atomic<std::uint64_t> bytes{0};
};

// Where stripping stands in the raw stream; carried from one chunk to the next.
struct StripPosition {
    std::uint64_t line = 0;
    std::uint64_t offset = 0;
    std::uint32_t record = 0;
};

inline constexpr std::size_t POOL = 3;

// Keeps only the samples of each record, compacted to the front of `chunk`, dropping the unit's
// edge bytes and the extra lines before and after the pass.
void strip_truncation(std::vector<std::uint8_t>& chunk, StripPosition& position, const protocol::image::Layout& layout);

// The worker's body: READs into the pool until the stream ends, a READ fails or the caller leaves.
void read_chunks(Session& session, const protocol::image::Layout& layout, channel::Sender<Chunk> chunks,
                 channel::Receiver<std::vector<std::uint8_t>> buffers, Counters& counters);

}  // namespace vexlor::session::scan
