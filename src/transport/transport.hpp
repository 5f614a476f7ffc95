// The link to one scanner: a command descriptor block goes out, an optional data phase moves
// bytes one way, and the unit's status and sense come back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

namespace vexlor::transport {

using Duration = std::chrono::nanoseconds;

// The data phase of one command.
struct Data {
    struct None {};
    struct In {
        std::span<std::uint8_t> buffer;  // its length is what the command asks for
    };
    struct Out {
        std::span<const std::uint8_t> buffer;  // all of it is sent
    };
    std::variant<None, In, Out> value;

    static Data none() { return {None{}}; }
    static Data in(std::span<std::uint8_t> b) { return {In{b}}; }
    static Data out(std::span<const std::uint8_t> b) { return {Out{b}}; }

    bool is_none() const { return std::holds_alternative<None>(value); }
    std::size_t size() const;
};

// The SCSI status byte, compared whole.
class Status {
public:
    enum class Kind { Good, CheckCondition, Busy, ReservationConflict, Other };

    constexpr Status() = default;
    constexpr explicit Status(std::uint8_t byte) : byte_(byte) {}
    static constexpr Status good() { return Status(0x00); }
    static constexpr Status check_condition() { return Status(0x02); }
    static constexpr Status busy() { return Status(0x08); }
    static constexpr Status reservation_conflict() { return Status(0x18); }

    constexpr std::uint8_t byte() const { return byte_; }
    constexpr Kind kind() const {
        switch (byte_) {
            case 0x00: return Kind::Good;
            case 0x02: return Kind::CheckCondition;
            case 0x08: return Kind::Busy;
            case 0x18: return Kind::ReservationConflict;
            default: return Kind::Other;
        }
    }
    constexpr bool operator==(const Status&) const = default;

private:
    std::uint8_t byte_ = 0;
};

struct Sense {
    std::vector<std::uint8_t> raw;
    std::optional<std::uint32_t> information;
    std::optional<std::uint8_t> specific;  // the unit's vendor fourth code
    bool ili = false;
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    bool operator==(const Sense&) const = default;
};

struct Reply {
    std::optional<Sense> sense;
    std::size_t transferred = 0;
    Status status;
    bool operator==(const Reply&) const = default;
};

// The kinds of I/O failure the links report.
// `Interrupted`: the command was cut short on the owner's word (its stop check, or a signal).
enum class IoKind { Other, InvalidData, InvalidInput, BrokenPipe, NotConnected, NotFound, PermissionDenied, Busy, Interrupted };

// An I/O error: an operating-system error number, or a kind with a message.
struct IoError {
    IoKind kind = IoKind::Other;
    std::string message;
    std::optional<int> os_error;

    static IoError os(int errnum);
    static IoError custom(IoKind kind, std::string message);
    bool operator==(const IoError&) const = default;
};

// A failure of the link itself, never a status or sense the unit sent.
struct Error {
    struct Io {
        IoError error;
        bool operator==(const Io&) const = default;
    };
    struct Timeout {
        Duration duration;  // the time-out the command was measured against
        bool operator==(const Timeout&) const = default;
    };
    std::variant<Io, Timeout> value;

    static Error io(IoError e) { return {Io{std::move(e)}}; }
    static Error io(IoKind kind, std::string message) { return io(IoError::custom(kind, std::move(message))); }
    static Error timeout(Duration d) { return {Timeout{d}}; }
    static Error interrupted() { return io(IoKind::Interrupted, "interrupted"); }
    bool is_timeout() const { return std::holds_alternative<Timeout>(value); }
    bool is_interrupted() const;
    bool operator==(const Error&) const = default;
};

// Asked, from the thread running a command, while the command waits on the unit: true cuts it
// short, and it fails as interrupted. The owner may ask for a stop from another thread.
using StopCheck = std::function<bool()>;

// How long a waiting command goes between asking its stop check.
inline constexpr Duration kStopSlice = std::chrono::milliseconds(50);

// A transport owns its link (a file descriptor, a claimed interface): it moves by pointer, never copies.
class Transport {
public:
    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;
    // The largest data phase one command may carry; fixed for the transport's life.
    virtual std::size_t max_transfer() const = 0;
    // Runs one command to completion; the whole of it ends by now + timeout.
    virtual std::expected<Reply, Error> execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) = 0;
    // In a forked child whose parent holds this link: closes this process's descriptors without
    // a word to the unit or to a library whose state is the parent's. Only destruction follows.
    virtual void abandon() {}
    // Installed while no command runs; empty: the waits are never cut short.
    virtual void set_stop(StopCheck check) { stop_ = std::move(check); }

protected:
    bool stopping() const { return stop_ && stop_(); }
    bool watched() const { return static_cast<bool>(stop_); }

private:
    StopCheck stop_;
};

// A link that hands every command on to another: the base of links that watch or alter a few.
class Forwarding : public Transport {
public:
    explicit Forwarding(std::unique_ptr<Transport> inner) : inner_(std::move(inner)) {}
    std::size_t max_transfer() const override { return inner_->max_transfer(); }
    std::expected<Reply, Error> execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) override {
        return inner_->execute(cdb, data, timeout);
    }
    void abandon() override { inner_->abandon(); }
    void set_stop(StopCheck check) override { inner_->set_stop(std::move(check)); }

protected:
    std::unique_ptr<Transport> inner_;
};

// The reply a USB status block carries: status, key, ASC, ASCQ, the fourth code, three reserved bytes.
Reply reply_from_status_block(std::span<const std::uint8_t, 8> block, std::size_t transferred);

// Sense from fixed-format sense data of at least 14 bytes (the caller checks the length).
Sense sense_from_fixed(std::span<const std::uint8_t> bytes, std::optional<std::uint8_t> specific);

// The C library's text for an error number.
std::string errno_text(int e);

std::string to_string(const IoError& e);
std::string to_string(const Error& e);
std::string debug_string(IoKind k);
std::string debug_string(const IoError& e);
std::string debug_string(const Error& e);
std::string debug_string(const Data& d);
std::string debug_string(Status s);
std::string debug_string(const Sense& s);
std::string debug_string(const std::optional<Sense>& s);

}  // namespace vexlor::transport

template <>
struct fmt::formatter<vexlor::transport::Error> : fmt::formatter<std::string> {
    auto format(const vexlor::transport::Error& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::transport::to_string(e), ctx);
    }
};
