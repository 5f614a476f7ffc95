// Emulated units behind faked device nodes (umockdev): USB units answering usbfs with the
// units' bulk-pipe framing, and SCSI generic nodes taking request headers written and replies read. The process must run with
// umockdev's preload library; build the testbed before the first libusb context of the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/unit.hpp"

namespace vexlor::emulator {

// What the USB front saw, for tests.
struct UsbLog {
    std::vector<std::chrono::steady_clock::time_point> phase_queries;  // when each D0h arrived
    std::vector<std::size_t> in_requests;                               // buffer length of each IN transfer
    int clear_halts = 0;
    std::vector<unsigned> configurations_set;
};

// What the SG front saw in the last request header written.
struct SgLog {
    int dxfer_direction = 0;
    unsigned cmd_len = 0;
    unsigned mx_sb_len = 0;
    unsigned dxfer_len = 0;
    unsigned timeout = 0;
    unsigned flags = 0;
    int interface_id = 0;
    int pack_id = 0;
    int calls = 0;
};

struct UsbOptions {
    std::uint16_t product = 0x4001;
    std::uint16_t max_packet = 512;
    bool claimed = false;     // the interface is held by another process
    bool unconfigured = false;  // bConfigurationValue 0
    bool clear_fails = false;   // CLEAR_HALT fails
};

struct SgOptions {
    bool openable = true;
    int reserved = -2;        // what SG_GET_RESERVED_SIZE reports; -2: what was asked for
    bool reserved_fails = false;
};

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Plugs a USB unit in at `bus` and the port chain `ports` (root hub first); hubs are added as needed.
    std::shared_ptr<Unit> add_usb(protocol::model::Model model, int bus, std::vector<int> ports, UsbOptions options = {});
    // Unplugs the unit at that place.
    void remove_usb(int bus, const std::vector<int>& ports);
    // Adds /dev/<name> answering for `model` (no unit: the node answers every command with an empty good reply).
    std::shared_ptr<Unit> add_sg(const std::string& name, std::optional<protocol::model::Model> model, SgOptions options = {});

    // Bytes put in the IN pipe of a USB unit, as packets of at most the max packet size.
    void inject_in(int bus, const std::vector<int>& ports, std::size_t bytes);
    UsbLog usb_log(int bus, const std::vector<int>& ports) const;
    SgLog sg_log(const std::string& name) const;

    // Whether a device node of the testbed is still open somewhere (a session not yet closed).
    bool in_use() const;

    std::string root_dir() const;
    std::string dev_dir() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexlor::emulator
