// The image reader of one pass: READs sized in whole transfer units, the end-of-data rules,
// reading off what the unit still holds, and closing the scan when dropped early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "protocol/image.hpp"

namespace vexlor::session {
class Session;
}

namespace vexlor::session::image {

// The length of the next READ for `remaining` bytes under the limit `max`, starting at `phase`
// within the layout's unit cycle.
std::size_t read_length(const protocol::image::Layout& layout, std::size_t phase, std::size_t remaining, std::size_t max);

class Chunks {
public:
    Chunks(protocol::image::Layout layout, Session& session, std::size_t max_transfer);
    Chunks(Chunks&& o) noexcept;
    Chunks& operator=(Chunks&&) = delete;
    Chunks(const Chunks&) = delete;
    Chunks& operator=(const Chunks&) = delete;
    // Closes the scan on the unit when it is not closed yet; never fails.
    ~Chunks();

    // One READ into `buffer` (resized, never replaced): its byte count, nothing once the stream ended.
    error::Result<std::optional<std::size_t>> fill(std::vector<std::uint8_t>& buffer);

    std::size_t max_transfer() const { return max_transfer_; }
    std::size_t remaining() const { return remaining_; }
    std::size_t surplus() const { return surplus_; }
    bool done() const { return done_; }
    bool closed() const { return closed_; }

private:
    void drain();

    protocol::image::Layout layout_;
    Session* session_;
    std::size_t max_transfer_;
    std::size_t remaining_;
    std::size_t phase_ = 0;
    std::size_t surplus_ = 0;
    bool done_ = false;
    bool closed_ = false;
};

}  // namespace vexlor::session::image
