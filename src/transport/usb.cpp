#include "transport/usb.hpp"

#include <libusb.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include <sys/time.h>

#include "diag/log.hpp"
#include "try.hpp"
#include "text.hpp"

namespace vexlor::transport::usb {

namespace {

constexpr std::string_view kTarget = "vexlor::transport::usb";
constexpr std::uint8_t kEpOut = 0x01;
constexpr std::uint8_t kEpIn = 0x82;
constexpr std::size_t kResyncLimit = 1048576;

using std::chrono::milliseconds;
using std::chrono::seconds;

// The one-byte query after a command, and the phase codes the unit answers it with.
constexpr std::uint8_t kPhaseQuery = 0xD0;
constexpr std::uint8_t kPhaseNone = 0x00;
constexpr std::uint8_t kPhaseStatus = 0x01;
constexpr std::uint8_t kPhaseDataOut = 0x02;
constexpr std::uint8_t kPhaseBusy = 0x04;
constexpr std::uint8_t kFirstNonPhase = 0x05;

// Time limits of single transfers and pauses, within the call's deadline.
constexpr Duration kCommandLimit = seconds(7);    // the command write and the first phase check
constexpr Duration kBusyCheckLimit = seconds(1);  // each phase check while the unit is busy
constexpr Duration kFirstBusyPause = milliseconds(5);
constexpr Duration kSecondBusyPause = milliseconds(10);  // then doubled for each later pause
constexpr Duration kLongestBusyPause = milliseconds(250);
constexpr Duration kResendPause = milliseconds(5);
constexpr Duration kResyncRead = milliseconds(200);

constexpr std::size_t kStatusBlock = 8;

std::string lib_text(int code) { return libusb_strerror(code); }

IoError lib_error(int code) {
    IoKind kind = IoKind::Other;
    switch (code) {
        case LIBUSB_ERROR_ACCESS: kind = IoKind::PermissionDenied; break;
        case LIBUSB_ERROR_NO_DEVICE: kind = IoKind::NotConnected; break;
        case LIBUSB_ERROR_NOT_FOUND: kind = IoKind::NotFound; break;
        case LIBUSB_ERROR_BUSY: kind = IoKind::Busy; break;
        case LIBUSB_ERROR_INVALID_PARAM: kind = IoKind::InvalidInput; break;
        case LIBUSB_ERROR_PIPE: kind = IoKind::BrokenPipe; break;
        default: break;
    }
    return IoError::custom(kind, lib_text(code));
}

}  // namespace

std::optional<std::string_view> library_message(std::string_view s) {
    const auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    // "[ 0.000579] [00002a1e] " comes first at debug level.
    for (int i = 0; i < 2 && s.starts_with('['); ++i) {
        const auto close = s.find(']');
        if (close == std::string_view::npos) break;
        s.remove_prefix(close + 1);
        while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    }
    // "libusb: debug [libusb_get_device_list] "
    if (s.starts_with("libusb: ")) {
        const auto open = s.find('[');
        const auto close = s.find(']', open == std::string_view::npos ? s.size() : open);
        if (open != std::string_view::npos && close != std::string_view::npos) s.remove_prefix(close + 1);
        while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    }
    // The banner: a rule of dashes, and the legend of the header's fields.
    if (s.empty() || s.find_first_not_of('-') == std::string_view::npos || s.starts_with("facility level [function call]"))
        return std::nullopt;
    return s;
}

namespace {

// Set once the library's records have somewhere to go; until then it stays silent.
std::atomic<bool> forwarding{false};

int library_level() {
    if (!forwarding.load()) return LIBUSB_LOG_LEVEL_NONE;
    if (diag::enabled(diag::Level::Debug, "libusb")) return LIBUSB_LOG_LEVEL_DEBUG;
    if (diag::enabled(diag::Level::Info, "libusb")) return LIBUSB_LOG_LEVEL_INFO;
    if (diag::enabled(diag::Level::Warn, "libusb")) return LIBUSB_LOG_LEVEL_WARNING;
    if (diag::enabled(diag::Level::Error, "libusb")) return LIBUSB_LOG_LEVEL_ERROR;
    return LIBUSB_LOG_LEVEL_NONE;
}

void library_log(libusb_context*, enum libusb_log_level level, const char* text) {
    diag::Level l = diag::Level::Debug;
    switch (level) {
        case LIBUSB_LOG_LEVEL_ERROR: l = diag::Level::Error; break;
        case LIBUSB_LOG_LEVEL_WARNING: l = diag::Level::Warn; break;
        case LIBUSB_LOG_LEVEL_INFO: l = diag::Level::Info; break;
        default: l = diag::Level::Debug; break;
    }
    if (!diag::enabled(l, "libusb") || text == nullptr) return;
    if (auto message = library_message(text)) diag::emit(l, "libusb", std::string(*message));
}

std::expected<Context, std::string> new_context() {
    libusb_context* raw = nullptr;
    if (int r = libusb_init(&raw); r != 0) return std::unexpected(lib_text(r));
    libusb_set_option(raw, LIBUSB_OPTION_LOG_LEVEL, library_level());
    return Context(raw, [](libusb_context* c) { libusb_exit(c); });
}

// libusb takes whole milliseconds and reads 0 as "no limit": round up, never below 1.
unsigned int lib_millis(Duration d) {
    const auto ms = std::chrono::ceil<milliseconds>(d).count();
    return static_cast<unsigned int>(std::clamp<long long>(ms, 1, UINT_MAX));
}

void LIBUSB_CALL transfer_done(libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }

// A transfer's outcome in the codes of the library's blocking calls.
int transfer_code(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return 0;
        case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
        default: return LIBUSB_ERROR_IO;
    }
}

}  // namespace

std::expected<std::vector<UsbDevice>, std::string> enumerate() {
    VX_TRY_IMPL(ctx_r, Context ctx, new_context());
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx.get(), &list);
    if (n < 0) return std::unexpected(lib_text(static_cast<int>(n)));
    std::vector<UsbDevice> out;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device* d = list[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(d, &desc) != 0) continue;
        UsbDevice u;
        u.context = ctx;
        libusb_ref_device(d);
        // The device reference goes before the context it belongs to.
        u.device = std::shared_ptr<libusb_device>(d, [keep = ctx](libusb_device* p) { libusb_unref_device(p); });
        u.vendor = desc.idVendor;
        u.product = desc.idProduct;
        u.bus_id = fmt::format("{:03}", libusb_get_bus_number(d));
        std::array<std::uint8_t, 8> ports{};
        const int np = libusb_get_port_numbers(d, ports.data(), static_cast<int>(ports.size()));
        if (np > 0) u.port_chain.assign(ports.begin(), ports.begin() + np);
        out.push_back(std::move(u));
    }
    libusb_free_device_list(list, 1);
    return out;
}

void forward_library_log() {
    libusb_set_log_cb(nullptr, library_log, LIBUSB_LOG_CB_GLOBAL);
    forwarding.store(true);
}

struct UsbTransport::Impl {
    Context context;
    std::shared_ptr<libusb_device> device;
    libusb_device_handle* handle = nullptr;
    bool claimed = false;
    std::size_t in_max_packet = 0;
    bool out_of_step = false;
    clock::Clock* clock = nullptr;
    std::function<bool()> stopping;  // the transport's stop check

    // One bulk transfer, waited for in slices that ask the stop check: a stop cancels it and it
    // fails LIBUSB_ERROR_INTERRUPTED. Otherwise as the library's blocking transfer.
    int bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int* got, Duration timeout) {
        *got = 0;
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t) return LIBUSB_ERROR_NO_MEM;
        int completed = 0;
        libusb_fill_bulk_transfer(t, handle, endpoint, data, length, transfer_done, &completed, lib_millis(timeout));
        if (int r = libusb_submit_transfer(t); r != 0) {
            libusb_free_transfer(t);
            return r;
        }
        libusb_context* ctx = context.get();
        bool cancelled = false;
        bool stopped = false;
        while (!completed) {
            timeval slice{0, static_cast<suseconds_t>(std::chrono::duration_cast<std::chrono::microseconds>(kStopSlice).count())};
            const int r = libusb_handle_events_timeout_completed(ctx, &slice, &completed);
            if (completed || cancelled) continue;
            // Event handling that fails leaves the transfer cancelled, as the library's blocking call does.
            const bool failed = r < 0 && r != LIBUSB_ERROR_INTERRUPTED;
            if (failed || (stopping && stopping())) {
                stopped = !failed;
                cancelled = true;
                libusb_cancel_transfer(t);
            }
        }
        int code = transfer_code(t->status);
        if (code == LIBUSB_ERROR_INTERRUPTED && !stopped) code = LIBUSB_ERROR_IO;
        *got = t->actual_length;
        libusb_free_transfer(t);
        return code;
    }

    ~Impl() {
        if (handle) {
            if (claimed) libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
    }

    // The failure of one transfer; a halted endpoint is cleared before it is reported.
    Error transfer_error(int code, std::uint8_t endpoint, Duration given) {
        switch (code) {
            case LIBUSB_ERROR_TIMEOUT: return Error::timeout(given);
            case LIBUSB_ERROR_INTERRUPTED: return Error::interrupted();
            case LIBUSB_ERROR_PIPE: {
                if (int r = libusb_clear_halt(handle, endpoint); r == 0) {
                    VX_WARN(kTarget, "the unit halted the endpoint, cleared it for the next command");
                } else {
                    VX_WARN(kTarget, "the unit halted the endpoint and it would not clear", diag::field("e", lib_text(r)));
                }
                return Error::io(IoKind::BrokenPipe, lib_text(code));
            }
            case LIBUSB_ERROR_NO_DEVICE: return Error::io(IoKind::NotConnected, lib_text(code));
            case LIBUSB_ERROR_INVALID_PARAM: return Error::io(IoKind::InvalidInput, lib_text(code));
            default: return Error::io(IoKind::Other, lib_text(code));
        }
    }

    std::expected<std::vector<std::uint8_t>, Error> transfer_in(std::size_t length, Duration timeout) {
        std::size_t ask = std::max<std::size_t>(length, 1);
        ask = (ask + in_max_packet - 1) / in_max_packet * in_max_packet;
        std::vector<std::uint8_t> buf(ask);
        int got = 0;
        const int r = bulk(kEpIn, buf.data(), static_cast<int>(ask), &got, timeout);
        if (r != 0) return std::unexpected(transfer_error(r, kEpIn, timeout));
        buf.resize(std::clamp<std::size_t>(static_cast<std::size_t>(std::max(got, 0)), 0, ask));
        return buf;
    }

    std::expected<void, Error> write_out(std::span<const std::uint8_t> bytes, Duration timeout) {
        int sent = 0;
        // libusb does not write through the pointer of an OUT transfer.
        auto* p = const_cast<std::uint8_t*>(bytes.data());
        const int r = bulk(kEpOut, p, static_cast<int>(bytes.size()), &sent, timeout);
        if (r != 0) return std::unexpected(transfer_error(r, kEpOut, timeout));
        return {};
    }

    std::expected<std::size_t, Error> read_last(std::span<std::uint8_t> buffer, Duration timeout) {
        VX_TRY(auto got, transfer_in(buffer.size(), timeout));
        const std::size_t n = std::min(got.size(), buffer.size());
        std::copy_n(got.begin(), n, buffer.begin());
        if (got.size() > buffer.size()) {
            VX_TRACE(kTarget, "dropped the tail of the last packet", diag::field("padding", got.size() - buffer.size()));
            return buffer.size();
        }
        return got.size();
    }

    void resync() {
        std::size_t total = 0;
        for (;;) {
            auto got = transfer_in(in_max_packet, kResyncRead);
            // Cut short, the pipe may still hold an answer: the next command drains it.
            if (!got && got.error().is_interrupted()) return;
            if (!got || got->empty()) break;
            total += got->size();
            if (total >= kResyncLimit) {
                VX_WARN(kTarget, "the unit has more to say than we will drop, so we are still out of step",
                        diag::field("bytes", total));
                return;
            }
        }
        if (total != 0) {
            VX_WARN(kTarget, "the last command left its answer in the pipe, dropped it to get back in step",
                    diag::field("bytes", total));
        }
        out_of_step = false;
    }
};

namespace {

// One call's deadline, and the caller's time-out that a missed deadline reports.
struct Deadline {
    clock::Clock& clock;
    clock::Instant at;
    Duration timeout;

    Duration remaining() const { return clock::remaining(clock, at); }
    // The time left, or the caller's time-out when none is.
    std::expected<Duration, Error> check() const {
        const Duration r = remaining();
        if (r <= Duration::zero()) return std::unexpected(Error::timeout(timeout));
        return r;
    }
};

// How one phase query ended: a code, a time-out (re-send), out of step, or a failure.
struct Phase {
    enum class Kind { Code, Stopped, OutOfStep, Failed } kind;
    std::uint8_t code = 0;
    Error error{};
};

Phase failed(Error e) {
    if (e.is_timeout()) return {Phase::Kind::Stopped, 0, std::move(e)};  // the unit stopped answering: send again
    return {Phase::Kind::Failed, 0, std::move(e)};
}

std::string debug_device(libusb_device* d, std::uint16_t vendor, std::uint16_t product) {
    return fmt::format("Device {{ bus: {:03}, address: {:03}, vendor: 0x{:04x}, product: 0x{:04x} }}",
                       libusb_get_bus_number(d), libusb_get_device_address(d), vendor, product);
}

}  // namespace

std::expected<std::unique_ptr<UsbTransport>, IoError> UsbTransport::open(const UsbDevice& device, clock::Clock& clock) {
    auto impl = std::make_unique<Impl>();
    impl->clock = &clock;
    impl->context = device.context;
    impl->device = device.device;
    if (!device.device) return std::unexpected(IoError::custom(IoKind::InvalidInput, "no device record"));
    if (int r = libusb_open(device.device.get(), &impl->handle); r != 0) {
        impl->handle = nullptr;
        return std::unexpected(lib_error(r));
    }
    int config = 0;
    if (int r = libusb_get_configuration(impl->handle, &config); r != 0) return std::unexpected(lib_error(r));
    if (config == 0) {
        if (int r = libusb_set_configuration(impl->handle, 1); r != 0) {
            return std::unexpected(IoError::custom(IoKind::Other, lib_text(r)));
        }
    }
    if (int r = libusb_claim_interface(impl->handle, 0); r != 0) return std::unexpected(lib_error(r));
    impl->claimed = true;

    libusb_config_descriptor* cfg = nullptr;
    if (int r = libusb_get_active_config_descriptor(device.device.get(), &cfg); r != 0) {
        return std::unexpected(lib_error(r));
    }
    bool have_out = false;
    bool have_in = false;
    std::size_t in_packet = 0;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceNumber != 0 || alt.bAlternateSetting != 0) continue;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
                if (ep.bEndpointAddress == kEpOut) have_out = true;
                if (ep.bEndpointAddress == kEpIn) {
                    have_in = true;
                    in_packet = ep.wMaxPacketSize & 0x07FF;
                }
            }
        }
    }
    libusb_free_config_descriptor(cfg);
    if (!have_out) return std::unexpected(IoError::custom(IoKind::NotFound, "no bulk OUT endpoint 01h on interface 0"));
    if (!have_in) return std::unexpected(IoError::custom(IoKind::NotFound, "no bulk IN endpoint 82h on interface 0"));
    if (in_packet == 0) {
        return std::unexpected(IoError::custom(IoKind::InvalidData, "bulk IN endpoint reports zero max packet size"));
    }
    impl->in_max_packet = in_packet;
    impl->out_of_step = false;
    VX_DEBUG(kTarget, "Opened scanner", diag::field("device", debug_device(device.device.get(), device.vendor, device.product)));
    std::unique_ptr<UsbTransport> t(new UsbTransport());
    t->impl_ = std::move(impl);
    return t;
}

UsbTransport::~UsbTransport() = default;

void UsbTransport::abandon() {
    if (!impl_) return;
    // The library gives no way to its descriptor: it is the one open on the unit's node. No call
    // into the library: releasing the interface would free the parent's claim (it belongs to the
    // open file both share), and closing or exiting waits on its event thread, which a forked
    // child does not have. So the library's state is left as it is, for good.
    libusb_device* d = impl_->device.get();
    const std::string node = fmt::format("/bus/usb/{:03}/{:03}", libusb_get_bus_number(d), libusb_get_device_address(d));
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        std::vector<int> ours;
        while (const dirent* e = ::readdir(dir)) {
            const int fd = std::atoi(e->d_name);
            if (fd <= 2 || fd == ::dirfd(dir)) continue;
            std::array<char, 4096> target{};
            const ssize_t n = ::readlink(fmt::format("/proc/self/fd/{}", fd).c_str(), target.data(), target.size() - 1);
            if (n > 0 && std::string_view(target.data(), static_cast<std::size_t>(n)).ends_with(node)) ours.push_back(fd);
        }
        ::closedir(dir);
        for (const int fd : ours) ::close(fd);
    }
    static_cast<void>(impl_.release());
}

void UsbTransport::set_stop(StopCheck check) {
    Transport::set_stop(check);
    impl_->stopping = std::move(check);
}

std::expected<Reply, Error> UsbTransport::execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) {
    Impl& io = *impl_;
    if (io.out_of_step) io.resync();
    VX_TRACE(kTarget, "command", diag::field("cdb", text::hex_dump(cdb)), diag::field("data", debug_string(data)));
    const Deadline dl{*io.clock, io.clock->now() + timeout, timeout};
    bool resent = false;

    // A pause in slices, each asking whether the owner wants the command stopped.
    const auto pause = [&](Duration d) -> std::expected<void, Error> {
        VX_TRY(Duration rem, dl.check());
        Duration left = std::min(rem, d);
        if (!io.stopping) {
            io.clock->sleep(left);
            return {};
        }
        for (; left > Duration::zero(); left -= kStopSlice) {
            if (stopping()) return std::unexpected(Error::interrupted());
            io.clock->sleep(std::min(left, kStopSlice));
        }
        return {};
    };
    const auto phase_check = [&](Duration limit) -> Phase {
        auto rem = dl.check();
        if (!rem) return {Phase::Kind::Failed, 0, rem.error()};
        static constexpr std::uint8_t query[1] = {kPhaseQuery};
        if (auto w = io.write_out(query, std::min(*rem, limit)); !w) return failed(std::move(w).error());
        rem = dl.check();
        if (!rem) return {Phase::Kind::Failed, 0, rem.error()};
        auto got = io.transfer_in(1, std::min(*rem, limit));
        if (!got) return failed(std::move(got).error());
        if (got->size() != 1) {
            return {Phase::Kind::OutOfStep, 0,
                    Error::io(IoKind::InvalidData, fmt::format("a phase check read {} bytes off the pipe", got->size()))};
        }
        const std::uint8_t code = (*got)[0];
        VX_TRACE(kTarget, "phase", diag::field("phase", fmt::format("{:02X}h", code)));
        return {Phase::Kind::Code, code, {}};
    };

    for (;;) {
        VX_TRY(Duration rem, dl.check());
        if (stopping()) return std::unexpected(Error::interrupted());
        io.out_of_step = true;
        Phase p{Phase::Kind::Stopped, 0, {}};
        if (auto w = io.write_out(cdb, std::min(rem, kCommandLimit)); !w) {
            p = failed(std::move(w).error());
        } else {
            p = phase_check(kCommandLimit);
            if (p.kind == Phase::Kind::Code && p.code == kPhaseBusy) {
                VX_CHECK(pause(kFirstBusyPause));
                Duration delay = kSecondBusyPause;
                for (;;) {
                    p = phase_check(kBusyCheckLimit);
                    if (p.kind != Phase::Kind::Code || p.code != kPhaseBusy) break;
                    VX_CHECK(pause(delay));
                    delay = std::min<Duration>(delay * 2, kLongestBusyPause);
                }
            }
            if (p.kind == Phase::Kind::Code) {
                if (p.code == kPhaseNone) {
                    p = {Phase::Kind::OutOfStep, 0, Error::io(IoKind::InvalidData, "no phase after the command")};
                } else if (p.code >= kFirstNonPhase) {
                    p = {Phase::Kind::OutOfStep, 0,
                         Error::io(IoKind::InvalidData, fmt::format("{:02X}h is not a phase code", p.code))};
                }
            }
        }
        switch (p.kind) {
            case Phase::Kind::Code: return exchange(p.code, data, dl.at, timeout);
            case Phase::Kind::Failed: return std::unexpected(std::move(p.error));
            case Phase::Kind::Stopped:
                VX_DEBUG(kTarget, "the unit stopped answering, we send the command again");
                io.resync();
                VX_CHECK(pause(kResendPause));
                continue;
            case Phase::Kind::OutOfStep:
                if (resent) return std::unexpected(std::move(p.error));
                VX_WARN(kTarget, "the pipe is out of step, we drop it and send the command again",
                        diag::field("e", to_string(p.error)));
                io.resync();
                resent = true;
                continue;
        }
    }
}

std::expected<Reply, Error> UsbTransport::exchange(std::uint8_t code, const Data& data, clock::Instant at,
                                                   Duration timeout) {
    Impl& io = *impl_;
    const Deadline dl{*impl_->clock, at, timeout};
    const auto wrong_direction = [&] {
        return Error::io(IoKind::InvalidData,
                         fmt::format("the unit asked for phase {:02X}h but the command carries {}", code, debug_string(data)));
    };
    std::size_t transferred = 0;
    if (code == kPhaseStatus) {
        if (!data.is_none()) VX_DEBUG(kTarget, "the unit went to status with no data phase", diag::field("data", debug_string(data)));
    } else if (code == kPhaseDataOut) {
        const auto* out = std::get_if<Data::Out>(&data.value);
        if (!out) return std::unexpected(wrong_direction());
        VX_TRY(Duration rem, dl.check());
        VX_CHECK(io.write_out(out->buffer, rem));
        transferred = out->buffer.size();
    } else {
        const auto* in = std::get_if<Data::In>(&data.value);
        if (!in) return std::unexpected(wrong_direction());
        const std::span<std::uint8_t> buf = in->buffer;
        const std::size_t total = buf.size();
        std::size_t got = 0;
        std::size_t chunk = total;
        while (got < total) {
            const std::size_t want = std::min(total - got, chunk);
            VX_TRY(Duration rem, dl.check());
            std::size_t n = 0;
            if (got + want == total) {
                VX_TRY(n, io.read_last(buf.subspan(got, want), rem));
            } else {
                VX_TRY(auto bytes, io.transfer_in(want, rem));
                n = std::min(bytes.size(), want);
                std::copy_n(bytes.begin(), n, buf.begin() + static_cast<std::ptrdiff_t>(got));
                if (bytes.size() > want) {
                    return std::unexpected(Error::io(
                        IoKind::InvalidData,
                        fmt::format("device sent {} bytes for a {}-byte read, so the stream is out of step", bytes.size(), want)));
                }
            }
            if (n == 0) break;
            if (got == 0 && n < total) chunk = n;
            got += n;
        }
        transferred = got;
    }
    VX_TRY(Duration rem, dl.check());
    std::array<std::uint8_t, kStatusBlock> block{};
    VX_TRY(std::size_t n, io.read_last(block, rem));
    if (n != kStatusBlock) {
        return std::unexpected(Error::io(IoKind::InvalidData, fmt::format("status phase returned {} bytes, expected 8", n)));
    }
    io.out_of_step = false;
    return reply_from_status_block(block, transferred);
}

}  // namespace vexlor::transport::usb
