#include "session/image.hpp"

#include <algorithm>
#include <array>
#include <chrono>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "session/session.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session {

namespace {

using namespace std::chrono_literals;
namespace sense = protocol::sense;

constexpr std::string_view TARGET = "vexlor::session::image";
constexpr auto READ_TIMEOUT = 180s;
constexpr auto DRAIN_TIMEOUT = 20s;

std::uint16_t read_qualifier(std::uint8_t sample_bytes) {
    switch (sample_bytes) {
        case 1: return 0;
        case 4: return 3;
        default: return 1;
    }
}

// The information field of sense data that says the unit delivered less than asked.
std::optional<std::uint32_t> short_by(const error::Error& e) {
    const auto* f = e.fault();
    if (!f) return std::nullopt;
    const std::optional<transport::Sense>* s = nullptr;
    if (const auto* r = std::get_if<sense::Fault::Reported>(&f->value)) s = &r->sense;
    if (const auto* r = std::get_if<sense::Fault::Rejected>(&f->value)) s = &r->sense;
    if (!s || !*s || !(*s)->ili) return std::nullopt;
    return (*s)->information;
}

}  // namespace

namespace image {

std::size_t read_length(const protocol::image::Layout& layout, std::size_t phase, std::size_t remaining, std::size_t max) {
    if (layout.first_unit == layout.unit) {
        const std::size_t u = layout.unit;
        std::size_t n = max - max % u;
        if (remaining < n) n = (remaining + u - 1) / u * u;
        return n;
    }
    std::size_t n = 0;
    std::size_t p = phase;
    while (n < remaining) {
        const std::size_t next = p == 0 ? layout.first_unit : layout.unit;
        if (n + next > max) break;
        n += next;
        p = (p + next) % layout.cycle;
    }
    return n;
}

Chunks::Chunks(protocol::image::Layout layout, Session& session, std::size_t max_transfer)
    : layout_(std::move(layout)),
      session_(&session),
      max_transfer_(max_transfer),
      remaining_(static_cast<std::size_t>(layout_.total_bytes())) {}

Chunks::Chunks(Chunks&& o) noexcept
    : layout_(std::move(o.layout_)),
      session_(o.session_),
      max_transfer_(o.max_transfer_),
      remaining_(o.remaining_),
      phase_(o.phase_),
      surplus_(o.surplus_),
      done_(o.done_),
      closed_(o.closed_) {
    o.closed_ = o.done_ = true;  // the moved-from reader closes nothing
}

Chunks::~Chunks() {
    if (closed_) return;
    done_ = closed_ = true;
    // Bounded, and cut short only by a stop asked after it began.
    const Cleanup stopping(*session_);
    VX_INFO(TARGET, "stopping the scan", diag::field("remaining", remaining_));
    auto ran = session_->stop_scan();
    if (ran && *ran) return;
    if (ran) {
        VX_DEBUG(TARGET, "no ABORT on this unit, so reading the remainder off instead");
        drain();
        return;
    }
    VX_WARN(TARGET, "could not stop the scan, so it is left open - the next command will be refused out of sequence",
            diag::Field{"e", error::to_string(ran.error())}, diag::field("remaining", remaining_), diag::Field{"left", "scanning"});
}

error::Result<std::optional<std::size_t>> Chunks::fill(std::vector<std::uint8_t>& buffer) {
    if (done_) return std::nullopt;
    if (remaining_ == 0) {
        if (layout_.read_off) {
            drain();
        } else {
            done_ = closed_ = true;
        }
        return std::nullopt;
    }
    const std::size_t want = read_length(layout_, phase_, remaining_, max_transfer_);
    buffer.resize(want);
    VX_TRACE(TARGET, "issuing image READ from fill", diag::field("remaining", remaining_), diag::field("buf_len", want));
    auto n = session_->read_image_within(layout_, buffer, READ_TIMEOUT);
    if (!n) {
        done_ = true;
        return std::unexpected(std::move(n).error());
    }
    if (*n == 0) {
        done_ = true;
        return std::nullopt;
    }
    phase_ = (phase_ + *n) % layout_.cycle;
    std::size_t kept = *n;
    if (*n > remaining_ && !layout_.read_off) {
        // The unit holds more than the pass: it is still scanning, so the drop must stop it.
        surplus_ += *n - remaining_;
        kept = remaining_;
        done_ = true;
        VX_WARN(TARGET, "the unit held more than the layout promised, so the pass is not what it was read as",
                diag::field("bytes", surplus_));
    }
    remaining_ = remaining_ > *n ? remaining_ - *n : 0;
    if (*n < want) done_ = true;  // a short READ is the last one
    buffer.resize(kept);
    return kept;
}

void Chunks::drain() {
    done_ = closed_ = true;
    const std::size_t limit = std::max<std::size_t>(static_cast<std::size_t>(layout_.total_bytes()), max_transfer_);
    std::vector<std::uint8_t> scratch(max_transfer_);
    for (;;) {
        std::size_t want = 0;
        if (remaining_ > 0) {
            want = read_length(layout_, phase_, remaining_, max_transfer_);
        } else if (layout_.read_off) {
            want = read_length(layout_, phase_, max_transfer_, max_transfer_);  // the rest has no known size
        } else {
            break;
        }
        auto n = session_->read_image_within(layout_, std::span(scratch).first(want), DRAIN_TIMEOUT);
        if (!n) {
            VX_WARN(TARGET,
                    "the unit stopped giving data, so the scan is left open - it will not take another command until it is "
                    "power cycled",
                    diag::Field{"e", error::to_string(n.error())}, diag::field("remaining", remaining_));
            break;
        }
        if (*n == 0) break;
        phase_ = (phase_ + *n) % layout_.cycle;
        const std::size_t expected = std::min(*n, remaining_);
        remaining_ -= expected;
        surplus_ += *n - expected;
        VX_DEBUG(TARGET, "read off part of the remainder", diag::field("got", *n), diag::field("remaining", remaining_),
                 diag::field("surplus", surplus_));
        if (*n < want) break;
        if (surplus_ >= limit) {
            VX_WARN(TARGET, "the unit is still handing data back, giving up on closing the scan", diag::field("bytes", surplus_),
                    diag::field("limit", limit));
            break;
        }
    }
    if (surplus_ > 0) {
        VX_WARN(TARGET, "the unit held more than the layout promised, so the pass is not what it was read as",
                diag::field("bytes", surplus_));
    }
}

}  // namespace image

std::size_t Session::image_read_limit() const {
    std::size_t max = transport->max_transfer();
    if (caps.address.max_transfer) max = std::min<std::size_t>(max, *caps.address.max_transfer);
    return max;
}

error::Result<image::Chunks> Session::image_chunks(const protocol::image::Layout& layout) {
    const std::size_t max = image_read_limit();
    const std::uint64_t unit = std::max(layout.first_unit, layout.unit);
    if (max < unit) {
        return std::unexpected(error::Error::unsupported(
            "image read",
            fmt::format("this unit reads in units of {} bytes, and no more than {} can be transferred at once", unit, max)));
    }
    return image::Chunks(layout, *this, max);
}

error::Result<std::size_t> Session::read_image_within(const protocol::image::Layout& layout, std::span<std::uint8_t> buffer,
                                                      Duration timeout) {
    const std::uint16_t q = read_qualifier(layout.sample_bytes);
    const std::size_t want = buffer.size();
    const std::array<std::uint8_t, 10> cdb{opcode::READ,
                                           0x00,
                                           0x00,
                                           0x00,
                                           static_cast<std::uint8_t>(q >> 8),
                                           static_cast<std::uint8_t>(q),
                                           static_cast<std::uint8_t>(want >> 16),
                                           static_cast<std::uint8_t>(want >> 8),
                                           static_cast<std::uint8_t>(want),
                                           0x80};
    VX_TRACE(TARGET, "executing image READ", diag::Field{"cdb", text::hex_list(cdb)}, diag::field("want", want));
    auto r = run_handshake(cdb, transport::Data::in(buffer), timeout);
    if (r) {
        VX_TRACE(TARGET, "image READ completed", diag::field("transferred", r->reply.transferred), diag::field("want", want));
        return r->reply.transferred;
    }
    const error::Error& e = r.error();
    if (e.fault()) {
        if (e.is_refusal(sense::Refusal::OutOfSequence)) {
            VX_DEBUG(TARGET, "end of stream reached");
            scan_open_ = false;  // the unit holds no scan
            return 0;
        }
        if (const auto missing = short_by(e)) {
            VX_DEBUG(TARGET, "the unit had less than we asked for", diag::field("missing", *missing));
            return *missing > want ? 0 : want - *missing;
        }
        return std::unexpected(std::move(r).error());
    }
    VX_DEBUG(TARGET, "image READ failed", diag::Field{"error", error::to_string(e)});
    return std::unexpected(std::move(r).error());
}

}  // namespace vexlor::session
