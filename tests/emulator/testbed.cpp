#include "emulator/testbed.hpp"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include <fmt/format.h>

// ThreadSanitizer cannot see how umockdev's own library hands strings between the test's thread
// and its worker (through GLib, which is not instrumented): the races it reports inside that
// library are none of ours. Races in our code and the tests stay reported.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:libumockdev.so.0\n"
           "race:g_strdup\n";
}

namespace vexlor::emulator {

namespace {

using Clock = std::chrono::steady_clock;

std::string hex(const std::vector<std::uint8_t>& b) {
    std::string s;
    for (auto c : b) s += fmt::format("{:02x}", c);
    return s;
}

std::vector<std::uint8_t> unit_descriptors(std::uint16_t product, std::uint16_t packet) {
    const auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto hi = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
    return {
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0xB0, 0x04, lo(product), hi(product), 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x00,
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x00,
        0x07, 0x05, 0x01, 0x02, lo(packet), hi(packet), 0x00,
        0x07, 0x05, 0x82, 0x02, lo(packet), hi(packet), 0x00,
    };
}

std::vector<std::uint8_t> hub_descriptors() {
    return {
        0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6B, 0x1D, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
        0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00,
        0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,
        0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0C,
    };
}

std::string place_key(int bus, const std::vector<int>& ports) {
    std::string k = std::to_string(bus);
    for (int p : ports) k += "." + std::to_string(p);
    return k;
}

// The sysfs name of a USB device: "1-2.3", or "usb1" for the root hub.
std::string sys_name(int bus, const std::vector<int>& ports, std::size_t depth) {
    if (depth == 0) return fmt::format("usb{}", bus);
    std::string s = fmt::format("{}-{}", bus, ports[0]);
    for (std::size_t i = 1; i < depth; ++i) s += fmt::format(".{}", ports[i]);
    return s;
}

void check(gboolean ok, GError* err, const char* what) {
    if (ok) return;
    std::string msg = fmt::format("{}: {}", what, err ? err->message : "failed");
    if (err) g_error_free(err);
    throw std::runtime_error(msg);
}

template <class T>
T read_at(const UMockdevIoctlData* d, std::size_t off) {
    T v{};
    if (d && off + sizeof(T) <= static_cast<std::size_t>(d->data_len)) std::memcpy(&v, d->data + off, sizeof(T));
    return v;
}

template <class T>
void write_at(UMockdevIoctlData* d, std::size_t off, T v) {
    umockdev_ioctl_data_update(d, off, reinterpret_cast<guint8*>(&v), sizeof(T));
}

// The value an ioctl's pointer argument points at.
template <class T>
T pointee(UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    const T v = read_at<T>(d, 0);
    umockdev_ioctl_data_unref(d);
    return v;
}

template <class T>
void set_pointee(UMockdevIoctlData* arg, T v) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    write_at<T>(d, 0, v);
    umockdev_ioctl_data_unref(d);
}

gboolean answer(UMockdevIoctlClient* client, int ret = 0, int err = 0) {
    umockdev_ioctl_client_complete(client, ret, err);
    return TRUE;
}

struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buf = nullptr;  // null for an empty buffer
    std::uint8_t endpoint = 0;
    std::size_t length = 0;
    int status = 0;
    int actual = 0;
};

}  // namespace

// One USB unit behind /dev/bus/usb/BBB/DDD, speaking the bulk-pipe framing.
struct UsbFront {
    std::shared_ptr<Unit> unit;
    UsbOptions options;
    std::string syspath;
    std::string node;
    UMockdevIoctlBase* handler = nullptr;
    UMockdevTestbed* tb = nullptr;

    std::mutex m;
    UsbLog log;
    std::map<UMockdevIoctlClient*, Initiator> initiators;  // one per open device node
    Initiator current = 0;                                 // whose ioctl is being answered
    UMockdevIoctlClient* claimer = nullptr;                // the descriptor holding interface 0
    std::deque<std::vector<std::uint8_t>> in_queue;
    std::deque<Urb> pending_in;
    std::deque<Urb> finished;
    bool halted_in = false;
    bool halted_out = false;

    // The command in progress.
    bool have_cmd = false;
    std::vector<std::uint8_t> cdb;
    Response resp;
    Fault fault;
    std::uint8_t phase = 0x01;
    std::size_t out_len = 0;
    bool awaiting_out = false;
    std::vector<std::uint8_t> out_buf;
    Clock::time_point busy_until{};
    bool stall_in_pending = false;

    void push(std::vector<std::uint8_t> msg) { in_queue.push_back(std::move(msg)); }

    // A command the unit never finishes, as the framing shows it.
    void stall(Stall how) {
        switch (how) {
            case Stall::None: break;
            case Stall::Data:
                phase = 0x03;  // announced, never sent
                fault.silent_data = true;
                break;
            case Stall::Busy: fault.busy_queries = std::numeric_limits<int>::max(); break;
            case Stall::Silent: fault.silent_queries = std::numeric_limits<int>::max(); break;
        }
    }

    void push_status() {
        if (fault.silent_data) return;
        std::vector<std::uint8_t> block = {resp.status, resp.key, resp.asc, resp.ascq, resp.fourth, 0, 0, 0};
        block.resize(fault.status_length);
        push(std::move(block));
    }

    void push_data() {
        if (fault.silent_data) return;
        std::vector<std::uint8_t> d = resp.data_in;
        d.insert(d.end(), fault.extra_bytes, 0xEE);
        std::size_t at = 0;
        for (std::size_t c : fault.chunks) {
            if (at >= d.size()) break;
            const std::size_t n = std::min(c, d.size() - at);
            push({d.begin() + static_cast<std::ptrdiff_t>(at), d.begin() + static_cast<std::ptrdiff_t>(at + n)});
            at += n;
        }
        while (at < d.size()) {
            const std::size_t n = fault.block ? std::min(fault.block, d.size() - at) : d.size() - at;
            push({d.begin() + static_cast<std::ptrdiff_t>(at), d.begin() + static_cast<std::ptrdiff_t>(at + n)});
            at += n;
        }
        // A unit that has less to send than was asked ends the data phase with an empty packet.
        if (fault.empty_data || d.size() < allocation_length(cdb)) push({});
    }

    void answer_phase() {
        log.phase_queries.push_back(Clock::now());
        if (!have_cmd) {
            push({0x00});
            return;
        }
        if (!fault.phase_answers.empty()) {
            push(std::move(fault.phase_answers.front()));
            fault.phase_answers.pop_front();
            return;
        }
        if (fault.silent_queries > 0) {
            --fault.silent_queries;
            return;
        }
        if (fault.busy_queries > 0) {
            --fault.busy_queries;
            push({0x04});
            return;
        }
        if (Clock::now() < busy_until) {
            push({0x04});
            return;
        }
        push({phase});
        have_cmd = false;
        if (phase == 0x01) {
            push_status();
        } else if (phase == 0x03) {
            push_data();
            push_status();
        } else {
            awaiting_out = true;
            out_buf.clear();
        }
    }

    // Returns the URB status of an OUT transfer.
    int on_out(std::span<const std::uint8_t> bytes) {
        if (halted_out) return -EPIPE;
        if (awaiting_out) {
            out_buf.insert(out_buf.end(), bytes.begin(), bytes.end());
            if (out_buf.size() >= out_len) {
                awaiting_out = false;
                resp = unit->execute(cdb, out_buf, current);
                if (resp.gone) return -ENODEV;
                if (resp.stall != Stall::None) return 0;  // the status never comes
                push_status();
            }
            return 0;
        }
        if (bytes.size() == 1 && bytes[0] == 0xD0) {
            answer_phase();
            return 0;
        }
        Fault f = unit->next_fault();
        if (f.stall_out) {
            halted_out = true;
            return -EPIPE;
        }
        cdb.assign(bytes.begin(), bytes.end());
        fault = std::move(f);
        have_cmd = true;
        out_len = unit->out_length(cdb);
        if (out_len > 0) {
            phase = 0x02;
        } else {
            resp = unit->execute(cdb, {}, current);
            if (resp.gone) {
                have_cmd = false;
                return -ENODEV;
            }
            phase = resp.data_in.empty() && !fault.empty_data ? 0x01 : 0x03;
            stall(resp.stall);
        }
        busy_until = Clock::now() + fault.busy_for;
        stall_in_pending = fault.stall_in;
        return 0;
    }

    void fill() {
        while (!pending_in.empty()) {
            Urb& u = pending_in.front();
            if (halted_in || stall_in_pending) {
                stall_in_pending = false;
                halted_in = true;
                u.status = -EPIPE;
                u.actual = 0;
            } else if (!in_queue.empty()) {
                auto& msg = in_queue.front();
                const std::size_t n = std::min(msg.size(), u.length);
                if (n > 0 && u.buf) umockdev_ioctl_data_update(u.buf, 0, msg.data(), static_cast<gint>(n));
                u.status = 0;
                u.actual = static_cast<int>(n);
                if (n == msg.size()) {
                    in_queue.pop_front();
                } else {
                    msg.erase(msg.begin(), msg.begin() + static_cast<std::ptrdiff_t>(n));
                }
            } else {
                break;
            }
            finished.push_back(u);
            pending_in.pop_front();
        }
    }

    static void release(Urb& u) {
        if (u.buf) umockdev_ioctl_data_unref(u.buf);
        if (u.urb) umockdev_ioctl_data_unref(u.urb);
        u.buf = u.urb = nullptr;
    }

    ~UsbFront() {
        for (auto& u : pending_in) release(u);
        for (auto& u : finished) release(u);
        if (handler) g_object_unref(handler);
    }

    // Called with `m` held.
    gboolean ioctl(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg) {
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                set_pointee<std::uint32_t>(arg, 0x1F);
                return answer(client);
            }
            case USBDEVFS_SETCONFIGURATION: {
                const unsigned value = pointee<unsigned>(arg);
                log.configurations_set.push_back(value);
                // As the kernel does, the active configuration shows in sysfs.
                umockdev_testbed_set_attribute(tb, syspath.c_str(), "bConfigurationValue", fmt::format("{}\n", value).c_str());
                return answer(client);
            }
            case USBDEVFS_RELEASEINTERFACE:
                if (claimer == client) claimer = nullptr;
                return answer(client);
            case USBDEVFS_CLAIMINTERFACE:
                // As the kernel does: one open descriptor at a time holds the interface.
                if (options.claimed || (claimer && claimer != client)) {
                    umockdev_ioctl_client_complete(client, -1, EBUSY);
                } else {
                    claimer = client;
                    umockdev_ioctl_client_complete(client, 0, 0);
                }
                return TRUE;
            case USBDEVFS_CLEAR_HALT: {
                const unsigned ep = pointee<unsigned>(arg);
                ++log.clear_halts;
                if (options.clear_fails) {
                    umockdev_ioctl_client_complete(client, -1, EIO);
                    return TRUE;
                }
                if (ep == 0x82) halted_in = false;
                if (ep == 0x01) halted_out = false;
                umockdev_ioctl_client_complete(client, 0, 0);
                fill();
                return TRUE;
            }
            case USBDEVFS_SUBMITURB: {
                if (unit->unplugged()) return answer(client, -1, ENODEV);
                Urb u;
                u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
                u.endpoint = read_at<unsigned char>(u.urb, offsetof(usbdevfs_urb, endpoint));
                const int len = read_at<int>(u.urb, offsetof(usbdevfs_urb, buffer_length));
                u.length = static_cast<std::size_t>(std::max(len, 0));
                if (u.length > 0) u.buf = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer), u.length, nullptr);
                if (u.endpoint & 0x80) {
                    log.in_requests.push_back(u.length);
                    pending_in.push_back(u);
                    fill();
                } else {
                    std::span<const std::uint8_t> bytes;
                    if (u.buf) bytes = {u.buf->data, static_cast<std::size_t>(u.buf->data_len)};
                    u.status = on_out(bytes);
                    u.actual = u.status == 0 ? static_cast<int>(u.length) : 0;
                    finished.push_back(u);
                    fill();
                }
                return answer(client);
            }
            case USBDEVFS_REAPURBNDELAY:
            case USBDEVFS_REAPURB: {
                if (finished.empty()) {
                    umockdev_ioctl_client_complete(client, -1, EAGAIN);
                    return TRUE;
                }
                Urb u = finished.front();
                finished.pop_front();
                write_at<int>(u.urb, offsetof(usbdevfs_urb, status), u.status);
                write_at<int>(u.urb, offsetof(usbdevfs_urb, actual_length), u.actual);
                UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
                umockdev_ioctl_data_set_ptr(out, 0, u.urb);
                umockdev_ioctl_client_complete(client, 0, 0);
                umockdev_ioctl_data_unref(out);
                release(u);
                return TRUE;
            }
            case USBDEVFS_DISCARDURB: {
                const auto addr = read_at<unsigned long>(arg, 0);
                for (auto it = pending_in.begin(); it != pending_in.end(); ++it) {
                    if (it->urb->client_addr == addr) {
                        Urb u = *it;
                        pending_in.erase(it);
                        u.status = -ENOENT;
                        u.actual = 0;
                        finished.push_back(u);
                        umockdev_ioctl_client_complete(client, 0, 0);
                        return TRUE;
                    }
                }
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            default: return FALSE;
        }
    }
};

// One SCSI generic node taking commands as the driver's asynchronous interface does: a request
// header written, its reply read back (EAGAIN until the unit has answered).
struct SgFront {
    // A command written, and what its reply will say once it is ready.
    struct Pending {
        std::vector<std::uint8_t> header;  // as written: the reply goes out through its pointers
        Clock::time_point ready;
        std::vector<std::uint8_t> data_in;
        std::vector<std::uint8_t> sense;
        unsigned sb_len_wr = 0;
        std::uint8_t status = 0;
        std::uint16_t host = 0;
        int resid = 0;
    };

    std::shared_ptr<Unit> unit;
    SgOptions options;
    UMockdevIoctlBase* handler = nullptr;
    std::mutex m;
    SgLog log;
    int reserved = 32768;
    std::map<UMockdevIoctlClient*, Initiator> initiators;  // one per open device node
    std::map<UMockdevIoctlClient*, std::deque<Pending>> replies;
    Initiator current = 0;

    ~SgFront() {
        if (handler) g_object_unref(handler);
    }

    // Called with `m` held.
    gboolean ioctl(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg) {
        switch (request) {
            case SG_GET_VERSION_NUM: {
                set_pointee<int>(arg, 30536);
                return answer(client);
            }
            case SG_SET_RESERVED_SIZE: {
                reserved = pointee<int>(arg);
                return answer(client);
            }
            case SG_GET_RESERVED_SIZE: {
                if (options.reserved_fails) return answer(client, -1, EINVAL);
                set_pointee<int>(arg, options.reserved == -2 ? reserved : options.reserved);
                return answer(client);
            }
            default: return FALSE;
        }
    }

    // A request header written: the unit runs the command now; a stalled one is answered only by
    // the driver's own time-out.
    gboolean write(UMockdevIoctlClient* client, UMockdevIoctlData* h) {
        if (static_cast<std::size_t>(h->data_len) != sizeof(sg_io_hdr_t)) return answer(client, -1, EINVAL);
        ++log.calls;
        log.interface_id = read_at<int>(h, offsetof(sg_io_hdr_t, interface_id));
        log.dxfer_direction = read_at<int>(h, offsetof(sg_io_hdr_t, dxfer_direction));
        log.cmd_len = read_at<unsigned char>(h, offsetof(sg_io_hdr_t, cmd_len));
        log.mx_sb_len = read_at<unsigned char>(h, offsetof(sg_io_hdr_t, mx_sb_len));
        log.dxfer_len = read_at<unsigned>(h, offsetof(sg_io_hdr_t, dxfer_len));
        log.timeout = read_at<unsigned>(h, offsetof(sg_io_hdr_t, timeout));
        log.flags = read_at<unsigned>(h, offsetof(sg_io_hdr_t, flags));
        log.pack_id = read_at<int>(h, offsetof(sg_io_hdr_t, pack_id));

        std::vector<std::uint8_t> cdb;
        if (log.cmd_len) {
            UMockdevIoctlData* cmd = umockdev_ioctl_data_resolve(h, offsetof(sg_io_hdr_t, cmdp), log.cmd_len, nullptr);
            cdb.assign(cmd->data, cmd->data + cmd->data_len);
            umockdev_ioctl_data_unref(cmd);
        }
        std::vector<std::uint8_t> out;
        if (log.dxfer_direction == SG_DXFER_TO_DEV && log.dxfer_len) {
            UMockdevIoctlData* xfer = umockdev_ioctl_data_resolve(h, offsetof(sg_io_hdr_t, dxferp), log.dxfer_len, nullptr);
            out.assign(xfer->data, xfer->data + xfer->data_len);
            umockdev_ioctl_data_unref(xfer);
        }
        const Fault f = unit->next_fault();
        const Response r = unit->execute(cdb, out, current);
        if (r.gone) return answer(client, -1, ENODEV);

        Pending p;
        p.header.assign(h->data, h->data + sizeof(sg_io_hdr_t));
        p.ready = Clock::now();
        if (r.stall != Stall::None) {
            p.ready += std::chrono::milliseconds(log.timeout);
            p.host = 3;
            replies[client].push_back(std::move(p));
            return answer(client, static_cast<int>(sizeof(sg_io_hdr_t)));
        }
        if (log.dxfer_direction == SG_DXFER_FROM_DEV) {
            p.data_in.assign(r.data_in.begin(), r.data_in.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(r.data_in.size(), log.dxfer_len)));
            p.resid = static_cast<int>(log.dxfer_len - p.data_in.size());
        }
        if (f.resid) p.resid = *f.resid;
        if (r.status == 0x02) {
            p.sense.assign(18, 0);
            p.sense[0] = 0x70;
            p.sense[2] = r.key;
            p.sense[7] = 10;
            p.sense[12] = r.asc;
            p.sense[13] = r.ascq;
            p.sense[15] = r.fourth;
            if (r.ili) {
                p.sense[0] |= 0x80;
                p.sense[2] |= 0x20;
                for (int i = 0; i < 4; ++i) p.sense[3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(r.information >> (24 - 8 * i));
            }
        }
        if (f.sense_length) {
            const std::size_t n = static_cast<std::size_t>(std::max(*f.sense_length, 0));
            if (p.sense.empty()) {
                p.sense.assign(18, 0);
                p.sense[0] = 0x70;
                p.sense[7] = 10;
            }
            for (std::size_t i = p.sense.size(); i < n; ++i) p.sense.push_back(static_cast<std::uint8_t>(i));
            p.sense.resize(n);
        }
        const std::size_t sb_len = std::min<std::size_t>(p.sense.size(), log.mx_sb_len);
        p.sb_len_wr = static_cast<unsigned>(f.sense_length ? p.sense.size() : sb_len);
        p.sense.resize(sb_len);
        p.status = r.status;
        p.host = f.host_status.value_or(0);
        if (f.driver_timeout) p.host = 3;
        replies[client].push_back(std::move(p));
        return answer(client, static_cast<int>(sizeof(sg_io_hdr_t)));
    }

    // The first reply that is ready, written through the pointers of the header it answers.
    gboolean read(UMockdevIoctlClient* client, UMockdevIoctlData* buf) {
        auto& queue = replies[client];
        const auto now = Clock::now();
        const auto it = std::find_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.ready <= now; });
        if (it == queue.end()) return answer(client, -1, EAGAIN);
        if (static_cast<std::size_t>(buf->data_len) < sizeof(sg_io_hdr_t)) return answer(client, -1, EINVAL);
        const Pending p = std::move(*it);
        queue.erase(it);
        umockdev_ioctl_data_update(buf, 0, const_cast<guint8*>(p.header.data()), static_cast<gint>(p.header.size()));
        if (!p.data_in.empty()) {
            UMockdevIoctlData* xfer = umockdev_ioctl_data_resolve(buf, offsetof(sg_io_hdr_t, dxferp), p.data_in.size(), nullptr);
            umockdev_ioctl_data_update(xfer, 0, const_cast<guint8*>(p.data_in.data()), static_cast<gint>(p.data_in.size()));
            umockdev_ioctl_data_unref(xfer);
        }
        if (!p.sense.empty()) {
            UMockdevIoctlData* sb = umockdev_ioctl_data_resolve(buf, offsetof(sg_io_hdr_t, sbp), p.sense.size(), nullptr);
            umockdev_ioctl_data_update(sb, 0, const_cast<guint8*>(p.sense.data()), static_cast<gint>(p.sense.size()));
            umockdev_ioctl_data_unref(sb);
        }
        write_at<unsigned char>(buf, offsetof(sg_io_hdr_t, status), p.status);
        write_at<unsigned char>(buf, offsetof(sg_io_hdr_t, masked_status), static_cast<unsigned char>(p.status >> 1));
        write_at<unsigned char>(buf, offsetof(sg_io_hdr_t, sb_len_wr), static_cast<unsigned char>(p.sb_len_wr));
        write_at<unsigned short>(buf, offsetof(sg_io_hdr_t, host_status), p.host);
        write_at<unsigned short>(buf, offsetof(sg_io_hdr_t, driver_status), 0);
        write_at<int>(buf, offsetof(sg_io_hdr_t, resid), p.resid);
        write_at<unsigned>(buf, offsetof(sg_io_hdr_t, duration), 1);
        write_at<unsigned>(buf, offsetof(sg_io_hdr_t, info), p.status == 0x02 ? 1u : 0u);
        return answer(client, static_cast<int>(sizeof(sg_io_hdr_t)));
    }
};

namespace {

// umockdev keeps one client per open descriptor of a node: each is an initiator of its own.
template <class Front>
void enter(Front& front, UMockdevIoctlClient* client) {
    auto [it, fresh] = front.initiators.try_emplace(client, 0);
    if (fresh) it->second = front.unit->connect();
    front.current = it->second;
}

template <class Front>
gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* front = static_cast<Front*>(data);
    std::lock_guard lock(front->m);
    enter(*front, client);
    return front->ioctl(client, umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
}

gboolean on_sg_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* front = static_cast<SgFront*>(data);
    std::lock_guard lock(front->m);
    enter(*front, client);
    return front->write(client, umockdev_ioctl_client_get_arg(client));
}

gboolean on_sg_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* front = static_cast<SgFront*>(data);
    std::lock_guard lock(front->m);
    enter(*front, client);
    return front->read(client, umockdev_ioctl_client_get_arg(client));
}

template <class Front>
void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* front = static_cast<Front*>(data);
    std::lock_guard lock(front->m);
    front->initiators.erase(client);
    if constexpr (std::is_same_v<Front, UsbFront>) {
        if (front->claimer == client) front->claimer = nullptr;
    } else {
        front->replies.erase(client);  // closing the node drops what the driver still owed
    }
}

}  // namespace

struct Testbed::Impl {
    UMockdevTestbed* tb = nullptr;
    std::map<std::string, std::unique_ptr<UsbFront>> usb;  // by place
    std::map<std::string, std::string> hubs;               // sysfs name -> syspath
    std::map<int, int> next_devnum;
    std::map<std::string, std::unique_ptr<SgFront>> sg;
    int next_host = 0;

    int devnum(int bus) {
        auto [it, _] = next_devnum.try_emplace(bus, 1);
        return it->second++;
    }

    std::string add_usb_device(int bus, int dev, const std::string& path, const std::vector<std::uint8_t>& desc, bool configured) {
        const std::string text = fmt::format(
            "P: {}\nN: bus/usb/{:03}/{:03}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/{:03}/{:03}\n"
            "E: BUSNUM={:03}\nE: DEVNUM={:03}\nA: busnum={}\\n\nA: devnum={}\\n\nA: bConfigurationValue={}\\n\nA: speed=480\\n\n"
            "H: descriptors={}\n",
            path, bus, dev, bus, dev, bus, dev, bus, dev, configured ? "1" : "0", hex(desc));
        GError* err = nullptr;
        check(umockdev_testbed_add_from_string(tb, text.c_str(), &err), err, "add USB device");
        return "/sys" + path;
    }
};

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    impl_->tb = umockdev_testbed_new();
    if (!impl_->tb) throw std::runtime_error("umockdev testbed could not be made");
}

Testbed::~Testbed() {
    // The testbed's worker calls into the fronts: stop it before they go.
    g_object_unref(impl_->tb);
    impl_->usb.clear();
    impl_->sg.clear();
}

std::shared_ptr<Unit> Testbed::add_usb(protocol::model::Model model, int bus, std::vector<int> ports, UsbOptions options) {
    if (ports.empty()) throw std::invalid_argument("a USB unit needs at least one port");
    Impl& I = *impl_;
    const std::string base = "/devices/pci0000:00/0000:00:14.0";
    // The root hub and every hub between it and the unit.
    std::string path = base;
    for (std::size_t depth = 0; depth < ports.size(); ++depth) {
        const std::string name = sys_name(bus, ports, depth);
        path += "/" + name;
        if (!I.hubs.count(name)) I.hubs[name] = I.add_usb_device(bus, I.devnum(bus), path, hub_descriptors(), true);
    }
    path += "/" + sys_name(bus, ports, ports.size());

    auto front = std::make_unique<UsbFront>();
    front->unit = std::make_shared<Unit>(model);
    front->options = options;
    front->tb = I.tb;
    const int dev = I.devnum(bus);
    front->node = fmt::format("/dev/bus/usb/{:03}/{:03}", bus, dev);
    front->handler = umockdev_ioctl_base_new();
    g_signal_connect(front->handler, "handle-ioctl", G_CALLBACK(on_ioctl<UsbFront>), front.get());
    g_signal_connect(front->handler, "client-vanished", G_CALLBACK(on_vanished<UsbFront>), front.get());
    GError* err = nullptr;
    check(umockdev_testbed_attach_ioctl(I.tb, front->node.c_str(), front->handler, &err), err, "attach USB ioctl");
    front->syspath = I.add_usb_device(bus, dev, path, unit_descriptors(options.product, options.max_packet), !options.unconfigured);
    auto unit = front->unit;
    I.usb[place_key(bus, ports)] = std::move(front);
    return unit;
}

void Testbed::remove_usb(int bus, const std::vector<int>& ports) {
    auto it = impl_->usb.find(place_key(bus, ports));
    if (it == impl_->usb.end()) return;
    umockdev_testbed_remove_device(impl_->tb, it->second->syspath.c_str());
    // The handler stays attached (its node is gone); the front lives until the testbed ends.
    impl_->usb[place_key(bus, ports) + "/removed" + it->second->node] = std::move(it->second);
    impl_->usb.erase(place_key(bus, ports));
}

std::shared_ptr<Unit> Testbed::add_sg(const std::string& name, std::optional<protocol::model::Model> model, SgOptions options) {
    Impl& I = *impl_;
    auto front = std::make_unique<SgFront>();
    front->unit = std::make_shared<Unit>(model.value_or(protocol::model::Model::Ls4000));
    if (!model) front->unit->set_product("EMULATED DISK");
    front->options = options;
    const std::string node = "/dev/" + name;
    const int host = I.next_host++;
    if (options.openable) {
        front->handler = umockdev_ioctl_base_new();
        g_signal_connect(front->handler, "handle-ioctl", G_CALLBACK(on_ioctl<SgFront>), front.get());
        g_signal_connect(front->handler, "handle-write", G_CALLBACK(on_sg_write), front.get());
        g_signal_connect(front->handler, "handle-read", G_CALLBACK(on_sg_read), front.get());
        g_signal_connect(front->handler, "client-vanished", G_CALLBACK(on_vanished<SgFront>), front.get());
        GError* err = nullptr;
        check(umockdev_testbed_attach_ioctl(I.tb, node.c_str(), front->handler, &err), err, "attach SG ioctl");
    }
    const std::string text = fmt::format(
        "P: /devices/pci0000:00/0000:00:10.0/host{0}/target{0}:0:0/{0}:0:0:0/scsi_generic/{1}\nN: {1}=00\n"
        "E: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/{1}\n",
        host, name);
    GError* err = nullptr;
    check(umockdev_testbed_add_from_string(I.tb, text.c_str(), &err), err, "add SG node");
    if (!options.openable) {
        // umockdev cannot make open() fail on a node it fakes, and we run as root, so permissions
        // do not stop it: a directory in the node's place makes open(O_RDWR) fail with EISDIR.
        const std::filesystem::path p = std::filesystem::path(dev_dir()) / name;
        std::filesystem::remove(p);
        std::filesystem::create_directory(p);
    }
    auto unit = front->unit;
    I.sg[name] = std::move(front);
    return unit;
}

void Testbed::inject_in(int bus, const std::vector<int>& ports, std::size_t bytes) {
    auto it = impl_->usb.find(place_key(bus, ports));
    if (it == impl_->usb.end()) return;
    UsbFront& f = *it->second;
    std::lock_guard lock(f.m);
    const std::size_t packet = f.options.max_packet ? f.options.max_packet : 512;
    for (std::size_t at = 0; at < bytes; at += packet) f.push(std::vector<std::uint8_t>(std::min(packet, bytes - at), 0x5A));
    f.fill();
}

UsbLog Testbed::usb_log(int bus, const std::vector<int>& ports) const {
    auto it = impl_->usb.find(place_key(bus, ports));
    if (it == impl_->usb.end()) return {};
    std::lock_guard lock(it->second->m);
    return it->second->log;
}

SgLog Testbed::sg_log(const std::string& name) const {
    auto it = impl_->sg.find(name);
    if (it == impl_->sg.end()) return {};
    std::lock_guard lock(it->second->m);
    return it->second->log;
}

bool Testbed::in_use() const {
    for (const auto& [_, f] : impl_->usb) {
        std::lock_guard lock(f->m);
        if (!f->initiators.empty()) return true;
    }
    for (const auto& [_, f] : impl_->sg) {
        std::lock_guard lock(f->m);
        if (!f->initiators.empty()) return true;
    }
    return false;
}

std::string Testbed::root_dir() const {
    gchar* d = umockdev_testbed_get_root_dir(impl_->tb);
    std::string s = d ? d : "";
    g_free(d);
    return s;
}

std::string Testbed::dev_dir() const { return root_dir() + "/dev"; }

}  // namespace vexlor::emulator
