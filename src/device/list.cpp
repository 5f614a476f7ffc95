// The parts of discovery that reach the machine: USB enumeration, the /dev scan, and opening.
#include <dirent.h>

#include <algorithm>
#include <mutex>

#include "device/device.hpp"
#include "diag/log.hpp"
#include "transport/linux.hpp"

namespace vexlor::device {

namespace {

constexpr std::string_view target = "vexlor::device";
constexpr std::uint16_t vendor_id = 0x04B0;

// sg0 and sg12; not sg, sga or sg1a. Such a name is plain ASCII, so valid UTF-8.
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
        std::lock_guard lock(claims);
        inner_.reset();
        const auto it = std::find_if(held.begin(), held.end(), [&](const HeldUnit& h) { return h.attach == attach_; });
        if (it != held.end()) held.erase(it);
    }

private:
    Attach attach_;
};

bool is_sg_name(std::string_view name) {
    if (name.size() < 3 || !name.starts_with("sg")) return false;
    return std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<Device> list_usb() {
    std::vector<Device> out;
    for (const auto& record : usb_devices()) {
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
            d.identity = probe(**opened);
        }  // the transport is dropped here, releasing the interface
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<Device> list_scsi() {
    std::vector<Device> out;
    DIR* dir = opendir("/dev");
    if (!dir) return out;
    // Directory order, unsorted: /dev/sg10 may come before /dev/sg2.
    std::vector<std::string> paths;
    while (const dirent* entry = readdir(dir)) {
        if (is_sg_name(entry->d_name)) paths.push_back(std::string("/dev/") + entry->d_name);
    }
    closedir(dir);
    for (auto& path : paths) {
        std::optional<protocol::caps::identity::Identity> identity;
        {
            std::lock_guard lock(claims);
            if (const HeldUnit* h = held_at(Attach{Attach::Scsi{path}})) {
                // A node answers as a scanner only when asked; ours answered when it was listed.
                identity = h->identity;
            } else {
                auto opened = transport::linux::SgTransport::open(path);
                if (!opened) continue;
                identity = probe(**opened);
            }
        }
        if (!identity) continue;
        auto model = protocol::model::from_product(identity->product);
        out.push_back(Device{Attach{Attach::Scsi{std::move(path)}}, std::move(identity), true, model});
    }
    return out;
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

std::vector<Device> list() {
    auto out = list_usb();
    auto scsi = list_scsi();
    out.insert(out.end(), std::make_move_iterator(scsi.begin()), std::make_move_iterator(scsi.end()));
    return out;
}

error::Result<std::unique_ptr<transport::Transport>> Device::open() const {
    std::lock_guard lock(claims);
    std::unique_ptr<transport::Transport> opened;
    if (const auto* s = std::get_if<Attach::Scsi>(&attach.value)) {
        auto t = transport::linux::SgTransport::open(s->path);
        if (!t) return std::unexpected(error::Error(transport::Error::io(std::move(t.error()))));
        opened = std::move(*t);
    } else {
        // By where it is plugged in: a unit moved to another port is another device.
        const auto& u = std::get<Attach::Usb>(attach.value);
        for (const auto& record : usb_devices()) {
            if (record.bus_id != u.bus_id || record.port_chain != u.port_chain) continue;
            auto t = transport::usb::UsbTransport::open(record);
            if (!t) return std::unexpected(error::Error(transport::Error::io(std::move(t.error()))));
            opened = std::move(*t);
            break;
        }
        if (!opened) return std::unexpected(error::Error::not_found());
    }
    held.push_back({attach, identity});
    return std::unique_ptr<transport::Transport>(std::make_unique<HeldTransport>(std::move(opened), attach));
}

}  // namespace vexlor::device
