#include "transport/linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "diag/log.hpp"
#include "text.hpp"

namespace vexlor::transport::linux {

namespace {

constexpr std::string_view kTarget = "vexlor::transport::linux";
constexpr std::string_view kCdbTarget = "vexlor::cdb";
constexpr int kReservedAsked = 524288;
constexpr std::size_t kSenseMax = 96;
// Past the time-out the driver was given, how long we still wait for it to report that time-out
// (its timer starts when the command reaches the unit, a little after we hand it over).
constexpr Duration kDriverGrace = std::chrono::milliseconds(500);
// A node that says a reply is ready when none is: how long to wait before asking again.
constexpr int kRecheckMillis = 2;

// "ENOENT: No such file or directory".
std::string named_errno_text(int e) {
    const char* name = strerrorname_np(e);
    return fmt::format("{}: {}", name ? name : fmt::format("E{}", e), errno_text(e));
}

}  // namespace

std::string debug_string(HostStatus h) {
    static constexpr std::array<std::string_view, static_cast<std::size_t>(HostStatus::Kind::Unknown)> names = {
        "Ok", "NoConnect", "BusBusy", "Timeout", "BadTarget", "Abort", "Parity", "Error", "Reset", "BadIntr", "Passthrough", "SoftError",
    };
    if (h.kind() != HostStatus::Kind::Unknown) return std::string(names[h.code]);
    return fmt::format("Unknown({})", h.code);
}

std::string to_string(Info i) {
    const char* check = (i.bits & 1u) ? "CHECK" : "OK";
    const char* io = "INDIRECT_IO";
    switch (i.bits & 6u) {
        case 2: io = "DIRECT_IO"; break;
        case 4: io = "MIXED_IO"; break;
        default: break;
    }
    return fmt::format("{} | {}", check, io);
}

namespace {

// Milliseconds rounded up and never below 1 (the driver reads 0 as its own long default),
// capped at 32 bits.
std::uint32_t timeout_millis(Duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(ms, 1, 0xFFFFFFFFll));
}

}  // namespace

std::expected<std::unique_ptr<SgTransport>, IoError> SgTransport::open(const std::string& path) {
    // Exclusive, so no other process (a listing's INQUIRY included) reaches the unit while we hold
    // it, and refused at once (EBUSY) rather than waited for; kept from programs we start.
    const int fd = ::open(path.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::unexpected(IoError::os(errno));
    // The lock holds off the holders that do not go through the driver's exclusive open.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return std::unexpected(IoError::os(e));
    }
    // Kept non-blocking: a read with no reply ready returns at once, and the wait is ours.
    int asked = kReservedAsked;
    (void)::ioctl(fd, SG_SET_RESERVED_SIZE, &asked);
    int size = 0;
    if (::ioctl(fd, SG_GET_RESERVED_SIZE, &size) < 0) {
        const int e = errno;
        ::close(fd);
        return std::unexpected(IoError::custom(IoKind::Other, fmt::format("SG_GET_RESERVED_SIZE: {}", named_errno_text(e))));
    }
    const std::int32_t max = std::max(size, 0);
    VX_DEBUG(kTarget, "Reserved buffer", diag::field("max_transfer", max));
    return std::unique_ptr<SgTransport>(new SgTransport(fd, max));
}

struct SgTransport::Request {
    sg_io_hdr_t header{};
    std::array<std::uint8_t, kSenseMax> sense{};
    std::unique_ptr<std::uint8_t[]> in;  // data-in lands here, never in the caller's buffer
};

SgTransport::SgTransport(int fd, std::int32_t max_transfer) : fd_(fd), max_transfer_(max_transfer) {}

SgTransport::~SgTransport() {
    // Closing drops what the driver still owes us, before the orphans' memory goes.
    if (fd_ >= 0) ::close(fd_);
}

void SgTransport::abandon() {
    // The exclusive open and the lock belong to the open file the parent still holds.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// Reads replies until the one for `request` comes; replies to commands cut short earlier are
// dropped on the way. On failure the request is still the driver's.
std::expected<void, Error> SgTransport::await(Request& request, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout + kDriverGrace;
    bool recheck = false;
    for (;;) {
        if (stopping()) return std::unexpected(Error::interrupted());
        sg_io_hdr_t got{};
        const ssize_t n = ::read(fd_, &got, sizeof got);
        if (n == static_cast<ssize_t>(sizeof got)) {
            if (got.pack_id == request.header.pack_id) {
                request.header = got;
                return {};
            }
            std::erase_if(orphans_, [&](const auto& o) { return o->header.pack_id == got.pack_id; });
            VX_DEBUG(kTarget, "dropped the late reply of a command cut short", diag::field("pack_id", got.pack_id));
            continue;
        }
        if (n >= 0) return std::unexpected(Error::io(IoKind::InvalidData, fmt::format("the driver's reply was {} bytes", n)));
        if (errno != EAGAIN && errno != EINTR) return std::unexpected(Error::io(IoError::os(errno)));
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::unexpected(Error::timeout(timeout));
        pollfd p{fd_, POLLIN, 0};
        const auto slice = std::chrono::ceil<std::chrono::milliseconds>(std::min<Duration>(deadline - now, kStopSlice));
        const int r = recheck ? ::poll(nullptr, 0, kRecheckMillis) : ::poll(&p, 1, static_cast<int>(slice.count()));
        // With nobody to ask, a signal is the only word to stop (Python's handlers do not restart calls).
        if (r < 0 && errno == EINTR && !watched()) return std::unexpected(Error::interrupted());
        recheck = r > 0;
    }
}

std::expected<Reply, Error> SgTransport::execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) {
    diag::Span span(diag::Level::Info, kTarget, "execute", [&] {
        return diag::Fields{diag::field("cdb", text::dec_list(cdb)), diag::field("data", debug_string(data))};
    });
    const auto* in = std::get_if<Data::In>(&data.value);
    const auto* out = std::get_if<Data::Out>(&data.value);
    if (diag::enabled(diag::Level::Trace, kCdbTarget)) {
        std::string dump = fmt::format("CDB ({} bytes): {}", cdb.size(), text::hex_dump(cdb));
        if (out) dump += fmt::format("\n  DATA-OUT ({} bytes): {}", out->buffer.size(), text::hex_dump(out->buffer));
        diag::emit(diag::Level::Trace, kCdbTarget, std::move(dump));
    }

    auto request = std::make_unique<Request>();
    if (in && !in->buffer.empty()) request->in = std::make_unique_for_overwrite<std::uint8_t[]>(in->buffer.size());
    // The driver copies the command and the data-out when the request is written.
    std::vector<std::uint8_t> command(cdb.begin(), cdb.end());
    sg_io_hdr_t& h = request->header;
    h.interface_id = 'S';
    h.dxfer_direction = in ? SG_DXFER_FROM_DEV : out ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
    h.cmd_len = static_cast<unsigned char>(std::min<std::size_t>(command.size(), 255));
    h.mx_sb_len = static_cast<unsigned char>(kSenseMax);
    h.iovec_count = 0;
    h.dxfer_len = static_cast<unsigned int>(data.size());
    h.dxferp = in ? static_cast<void*>(request->in.get()) : out ? const_cast<std::uint8_t*>(out->buffer.data()) : nullptr;
    h.cmdp = command.data();
    h.sbp = request->sense.data();
    h.timeout = timeout_millis(timeout);
    h.flags = 0;
    // Tells this command's reply from the late replies of commands cut short.
    next_id_ = next_id_ == std::numeric_limits<std::int32_t>::max() ? 1 : next_id_ + 1;
    h.pack_id = next_id_;
    h.usr_ptr = nullptr;
    if (stopping()) return std::unexpected(Error::interrupted());
    if (::write(fd_, &h, sizeof h) < 0) {
        if (errno == EINTR) return std::unexpected(Error::interrupted());
        return std::unexpected(Error::io(IoError::os(errno)));
    }
    if (auto done = await(*request, timeout); !done) {
        orphans_.push_back(std::move(request));
        return std::unexpected(std::move(done).error());
    }

    const HostStatus host{h.host_status};
    VX_TRACE(kTarget, "SG_IO completed", diag::field("host_status", debug_string(host)),
             diag::field("driver_status", h.driver_status), diag::field("duration_ms", h.duration),
             diag::field("info", to_string(Info{h.info})));
    if (host.kind() == HostStatus::Kind::Timeout) return std::unexpected(Error::timeout(timeout));
    if (host.kind() != HostStatus::Kind::Ok) return std::unexpected(Error::io(IoKind::Other, fmt::format("SCSI bus fault: {}", debug_string(host))));

    Reply reply;
    reply.status = Status(h.status);
    const std::size_t n = std::min<std::size_t>(h.sb_len_wr, kSenseMax);
    const std::span<const std::uint8_t> sb(request->sense.data(), n);
    if (n >= 1 && n <= 13) VX_WARN(kTarget, "short sense buffer", diag::field("sb", text::dec_list(sb)), diag::field("sb_len_wr", h.sb_len_wr));
    if (reply.status.kind() == Status::Kind::CheckCondition && h.sb_len_wr < 14) {
        return std::unexpected(Error::io(IoKind::InvalidData, fmt::format("CHECK CONDITION with {} bytes of sense, need 14", n)));
    }
    if (h.sb_len_wr >= 14) {
        VX_TRACE(kTarget, "sense", diag::field("sb_len_wr", h.sb_len_wr), diag::field("response_code", fmt::format("{:#04x}", sb[0])),
                 diag::field("additional_length", sb[7]), diag::field("tail", text::dec_list(sb.subspan(14))),
                 diag::field("raw", text::dec_list(sb)));
        const std::optional<std::uint8_t> specific = h.sb_len_wr >= 16 ? std::optional<std::uint8_t>(sb[15]) : std::nullopt;
        reply.sense = sense_from_fixed(sb, specific);
    }
    const long long resid = std::max(h.resid, 0);
    reply.transferred = static_cast<std::size_t>(std::max<long long>(static_cast<long long>(h.dxfer_len) - resid, 0));
    if (request->in) std::memcpy(in->buffer.data(), request->in.get(), std::min(reply.transferred, in->buffer.size()));
    return reply;
}

}  // namespace vexlor::transport::linux
