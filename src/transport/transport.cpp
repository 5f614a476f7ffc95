#include "transport/transport.hpp"

#include <cerrno>
#include <cstring>

#include "text.hpp"

namespace vexlor::transport {

namespace {

IoKind kind_of_errno(int e) {
    switch (e) {
        case ENOENT: return IoKind::NotFound;
        case EACCES:
        case EPERM: return IoKind::PermissionDenied;
        case EBUSY: return IoKind::Busy;
        case EPIPE: return IoKind::BrokenPipe;
        case ENOTCONN:
        case ENODEV: return IoKind::NotConnected;
        case EINVAL: return IoKind::InvalidInput;
        case EINTR: return IoKind::Interrupted;
        default: return IoKind::Other;
    }
}


// The kind an operating-system error shows in its debug form, named after the error number.
const char* os_kind_name(int e) {
    switch (e) {
        case EPERM: case EACCES: return "PermissionDenied";
        case ENOENT: return "NotFound";
        case EINTR: return "Interrupted";
        case E2BIG: return "ArgumentListTooLong";
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EBUSY: return "ResourceBusy";
        case EEXIST: return "AlreadyExists";
        case EXDEV: return "CrossesDevices";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case EINVAL: return "InvalidInput";
        case ETXTBSY: return "ExecutableFileBusy";
        case EFBIG: return "FileTooLarge";
        case ENOSPC: return "StorageFull";
        case ESPIPE: return "NotSeekable";
        case EROFS: return "ReadOnlyFilesystem";
        case EMLINK: return "TooManyLinks";
        case EPIPE: return "BrokenPipe";
        case EDEADLK: return "Deadlock";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENOSYS: case ENOTSUP: return "Unsupported";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case ELOOP: return "FilesystemLoop";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNRESET: return "ConnectionReset";
        case ENOTCONN: return "NotConnected";
        case ETIMEDOUT: return "TimedOut";
        case ECONNREFUSED: return "ConnectionRefused";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINPROGRESS: return "InProgress";
        case ESTALE: return "StaleNetworkFileHandle";
        case EDQUOT: return "QuotaExceeded";
        default: return "Uncategorized";
    }
}

}  // namespace

std::string errno_text(int e) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    const char* s = strerror_r(e, buf, sizeof buf);
    return s ? std::string(s) : std::string("Unknown error");
}

std::size_t Data::size() const {
    return std::visit(
        [](const auto& d) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(d)>, None>) {
                return 0;
            } else {
                return d.buffer.size();
            }
        },
        value);
}

IoError IoError::os(int errnum) { return IoError{kind_of_errno(errnum), errno_text(errnum), errnum}; }

IoError IoError::custom(IoKind kind, std::string message) { return IoError{kind, std::move(message), std::nullopt}; }

std::string to_string(const IoError& e) {
    if (e.os_error) return fmt::format("{} (os error {})", errno_text(*e.os_error), *e.os_error);
    return e.message;
}

std::string debug_string(IoKind k) {
    switch (k) {
        case IoKind::Other: return "Other";
        case IoKind::InvalidData: return "InvalidData";
        case IoKind::InvalidInput: return "InvalidInput";
        case IoKind::BrokenPipe: return "BrokenPipe";
        case IoKind::NotConnected: return "NotConnected";
        case IoKind::NotFound: return "NotFound";
        case IoKind::PermissionDenied: return "PermissionDenied";
        case IoKind::Busy: return "ResourceBusy";
        case IoKind::Interrupted: return "Interrupted";
    }
    return "Other";
}

std::string debug_string(const IoError& e) {
    if (e.os_error) {
        // The kind shown is the error number's own; `kind` may be refined for the links' use.
        return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", *e.os_error, os_kind_name(*e.os_error),
                           text::quoted(errno_text(*e.os_error)));
    }
    return fmt::format("Custom {{ kind: {}, error: {} }}", debug_string(e.kind), text::quoted(e.message));
}

bool Error::is_interrupted() const {
    const auto* io = std::get_if<Io>(&value);
    return io && io->error.kind == IoKind::Interrupted;
}

std::string to_string(const Error& e) {
    if (const auto* io = std::get_if<Error::Io>(&e.value)) return "io error: " + to_string(io->error);
    return "timed out after " + text::debug_duration(std::get<Error::Timeout>(e.value).duration);
}

std::string debug_string(const Error& e) {
    if (const auto* io = std::get_if<Error::Io>(&e.value)) return "Io(" + debug_string(io->error) + ")";
    return "Timeout(" + text::debug_duration(std::get<Error::Timeout>(e.value).duration) + ")";
}

std::string debug_string(const Data& d) {
    if (const auto* in = std::get_if<Data::In>(&d.value)) return fmt::format("In({} bytes)", in->buffer.size());
    if (const auto* out = std::get_if<Data::Out>(&d.value)) return fmt::format("Out({} bytes)", out->buffer.size());
    return "None";
}

std::string debug_string(Status s) {
    switch (s.kind()) {
        case Status::Kind::Good: return "Good";
        case Status::Kind::CheckCondition: return "CheckCondition";
        case Status::Kind::Busy: return "Busy";
        case Status::Kind::ReservationConflict: return "ReservationConflict";
        case Status::Kind::Other: return fmt::format("Other({})", s.byte());
    }
    return "Other";
}

std::string debug_string(const Sense& s) {
    std::string out = fmt::format("{:02X}h-{:02X}h-{:02X}h", s.key, s.asc, s.ascq);
    if (s.ili) {
        out += " ILI";
        if (s.information) out += fmt::format("({})", *s.information);
    }
    out += s.specific ? fmt::format("-{:02X}h", *s.specific) : std::string("-??");
    out += " raw=" + text::hex_list(s.raw);
    return out;
}

std::string debug_string(const std::optional<Sense>& s) {
    return text::debug_option(s, [](const Sense& v) { return debug_string(v); });
}

Reply reply_from_status_block(std::span<const std::uint8_t, 8> block, std::size_t transferred) {
    Sense sense;
    sense.raw.assign(block.begin(), block.end());
    sense.key = block[1] & 0x0F;
    sense.asc = block[2];
    sense.ascq = block[3];
    sense.specific = block[4];
    return Reply{std::move(sense), transferred, Status(block[0])};
}

Sense sense_from_fixed(std::span<const std::uint8_t> b, std::optional<std::uint8_t> specific) {
    // Callers pass at least 14 bytes; a shorter record reads as zeros rather than past its end.
    const auto at = [&](std::size_t i) -> std::uint8_t { return i < b.size() ? b[i] : 0; };
    Sense s;
    s.raw.assign(b.begin(), b.end());
    s.key = at(2) & 0x0F;
    s.ili = (at(2) & 0x20) != 0;
    s.asc = at(12);
    s.ascq = at(13);
    if (at(0) & 0x80) {
        s.information = (std::uint32_t{at(3)} << 24) | (std::uint32_t{at(4)} << 16) | (std::uint32_t{at(5)} << 8) | at(6);
    }
    s.specific = specific;
    return s;
}

}  // namespace vexlor::transport
