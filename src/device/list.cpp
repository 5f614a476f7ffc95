// The parts of discovery that reach the machine: USB enumeration, the /dev scan, and opening.
#include <dirent.h>

#include <algorithm>
#include <mutex>

#include "device/device.hpp"
#include "diag/log.hpp"
#include "text.hpp"
#include "transport/linux.hpp"

namespace vexlor::device {

namespace {

constexpr std::string_view target = "vexlor::device";
constexpr std::uint16_t vendor_id = 0x04B0;

// sg0 and sg12; not sg, sga or sg1a. Such a name is plain ASCII, so valid UTF-8.
bool is_sg_name(std::string_view name) {
    if (name.size() < 3 || !name.starts_with("sg")) return false;
    return std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One USB claim at a time in this process: a listing's brief claim to send INQUIRY never meets
// a session's claim of the same unit from another thread. Guards `held` too.
std::mutex claims;

// The units this process holds in open sessions, with what they answered when listed. A listing
// sends them nothing: an INQUIRY would land in the middle of whatever the session is doing.
struct HeldUnit {
    Attach attach;
    std::optional<protocol::caps::identity::Identity> identity;
};
std::vector<HeldUnit> held;

const HeldUnit* held_at(const Attach& a) {
    for (const auto& h : held) {
        if (h.attach == a) return &h;
    }
    return nullptr;
}

// A session's link, marked held for as long as it is open.
class HeldTransport final : public transport::Forwarding {
public:
    HeldTransport(std::unique_ptr<transport::Transport> inner, Attach attach)
        : Forwarding(std::move(inner)), attach_(std::move(attach)) {}
    ~HeldTransport() override {
        if (abandoned_) return;  // a forked child's copy: the parent's threads may have held the lock at the fork
        std::lock_guard lock(claims);
        inner_.reset();
        const auto it = std::find_if(held.begin(), held.end(), [&](const HeldUnit& h) { return h.attach == attach_; });
        if (it != held.end()) held.erase(it);
    }
    void abandon() override {
        abandoned_ = true;
        inner_->abandon();
    }

private:
    Attach attach_;
    bool abandoned_ = false;
};

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// Once the caller has given up, the probe in flight ends at its next look, not at its time-out.
std::optional<protocol::caps::identity::Identity> probe_until(transport::Transport& t, const std::atomic<bool>* stop) {
    if (stop) t.set_stop([stop] { return stop->load(); });
    return probe(t);
}

// A node another process holds exclusively: listed, as in use, like a claimed USB unit.
bool held_elsewhere(const transport::IoError& e) { return e.kind == transport::IoKind::Busy; }

// The node at `path` as a listing shows it, or nothing when it is not a scanner. Takes `claims`.
std::optional<Device> scsi_device(std::string path, const std::atomic<bool>* stop) {
    std::optional<protocol::caps::identity::Identity> identity;
    {
        std::lock_guard lock(claims);
        if (const HeldUnit* h = held_at(Attach{Attach::Scsi{path}})) {
            // A node answers as a scanner only when asked; ours answered when it was listed.
            identity = h->identity;
        } else {
            auto opened = transport::linux::SgTransport::open(path);
            if (!opened) {
                if (!held_elsewhere(opened.error())) return std::nullopt;
                return Device{Attach{Attach::Scsi{std::move(path)}}, std::nullopt, false, std::nullopt};
            }
            identity = probe_until(**opened, stop);
        }
    }
    if (!identity) return std::nullopt;
    auto model = protocol::model::from_product(identity->product);
    return Device{Attach{Attach::Scsi{std::move(path)}}, std::move(identity), true, model};
}

// The sg nodes of /dev, in directory order (unsorted: /dev/sg10 may come before /dev/sg2).
std::vector<std::string> sg_paths() {
    std::vector<std::string> paths;
    DIR* dir = opendir("/dev");
    if (!dir) return paths;
    while (const dirent* entry = readdir(dir)) {
        if (is_sg_name(entry->d_name)) paths.push_back(std::string("/dev/") + entry->d_name);
    }
    closedir(dir);
    return paths;
}

std::vector<Device> list_usb(const std::atomic<bool>* stop) {
    std::vector<Device> out;
    for (const auto& record : usb_devices()) {
        if (stopped(stop)) break;
        Device d{Attach{Attach::Usb{record.bus_id, record.port_chain}}, std::nullopt, false,
                 protocol::model::from_usb_product(record.product)};
        std::lock_guard lock(claims);
        if (held_at(d.attach)) {
            // Our own session has the interface claimed: in use, as any claimed unit is listed.
        } else if (auto opened = transport::usb::UsbTransport::open(record); !opened) {
            VX_DEBUG(target, "could not open a unit to ask who it is",
                     diag::field("e", transport::to_string(opened.error())));
        } else {
            d.answered = true;
            d.identity = probe_until(**opened, stop);
        }  // the transport is dropped here, releasing the interface
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<Device> list_scsi(const std::atomic<bool>* stop) {
    std::vector<Device> out;
    for (auto& path : sg_paths()) {
        if (stopped(stop)) break;
        if (auto d = scsi_device(std::move(path), stop)) out.push_back(std::move(*d));
    }
    return out;
}

// Another process holding the unit (its interface claimed, its node opened exclusively) is the
// unit held by another initiator; any other failure is the link's.
error::Error open_error(transport::IoError e) {
    if (held_elsewhere(e)) return error::Error(error::Error::Busy{protocol::sense::Contention::Reserved});
    return error::Error(transport::Error::io(std::move(e)));
}

}  // namespace

std::vector<transport::usb::UsbDevice> usb_devices() {
    auto all = transport::usb::enumerate();
    if (!all) {
        VX_DEBUG(target, "could not enumerate USB", diag::field("e", all.error()));
        return {};
    }
    std::vector<transport::usb::UsbDevice> out;
    for (auto& d : *all) {
        // The product ids are the model table's USB column.
        if (d.vendor == vendor_id && protocol::model::from_usb_product(d.product)) {
            out.push_back(std::move(d));
        }
    }
    return out;
}

std::vector<Device> list(const std::atomic<bool>* stop) {
    auto out = list_usb(stop);
    auto scsi = list_scsi(stop);
    out.insert(out.end(), std::make_move_iterator(scsi.begin()), std::make_move_iterator(scsi.end()));
    return out;
}

std::expected<Device, SelectError> locate(std::string_view location, const std::atomic<bool>* stop) {
    std::vector<Device> candidates;
    // A USB unit is listed whether or not it answers, so its place alone decides.
    for (const auto& record : usb_devices()) {
        Attach a{Attach::Usb{record.bus_id, record.port_chain}};
        if (!text::equal_ignoring_ascii_case(to_string(a), location)) continue;
        candidates.push_back(Device{std::move(a), std::nullopt, false, protocol::model::from_usb_product(record.product)});
    }
    // A node is listed when it answers as a scanner: only the one at that path is asked.
    for (auto& path : sg_paths()) {
        if (!text::equal_ignoring_ascii_case(path, location)) continue;
        if (auto d = scsi_device(std::move(path), stop)) candidates.push_back(std::move(*d));
    }
    auto chosen = Selector::location(std::string(location)).resolve(candidates);
    if (!chosen) return std::unexpected(std::move(chosen).error());
    return **chosen;
}

error::Result<std::unique_ptr<transport::Transport>> Device::open() const {
    std::lock_guard lock(claims);
    std::unique_ptr<transport::Transport> opened;
    if (const auto* s = std::get_if<Attach::Scsi>(&attach.value)) {
        auto t = transport::linux::SgTransport::open(s->path);
        if (!t) return std::unexpected(open_error(std::move(t.error())));
        opened = std::move(*t);
    } else {
        // By where it is plugged in: a unit moved to another port is another device.
        const auto& u = std::get<Attach::Usb>(attach.value);
        for (const auto& record : usb_devices()) {
            if (record.bus_id != u.bus_id || record.port_chain != u.port_chain) continue;
            auto t = transport::usb::UsbTransport::open(record);
            if (!t) return std::unexpected(open_error(std::move(t.error())));
            opened = std::move(*t);
            break;
        }
        if (!opened) return std::unexpected(error::Error::not_found());
    }
    held.push_back({attach, identity});
    return std::unique_ptr<transport::Transport>(std::make_unique<HeldTransport>(std::move(opened), attach));
}

}  // namespace vexlor::device
