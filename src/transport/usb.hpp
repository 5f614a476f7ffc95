// The transport for units that attach by USB: the units' bulk-pipe framing of the command set.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "clock.hpp"
#include "transport/transport.hpp"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace vexlor::transport::usb {

// A libusb context, shared by the devices enumerated from it and the transports opened on them,
// and released with the last of them (a context kept alive would not see devices added later).
using Context = std::shared_ptr<libusb_context>;

// One enumerated USB device.
struct UsbDevice {
    Context context;
    std::shared_ptr<libusb_device> device;  // holds a reference to the library's record
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string bus_id;                     // three decimal digits with leading zeros
    std::vector<std::uint8_t> port_chain;   // from the root hub down
};

// Every USB device on the machine, in the library's order, or the library's error text.
std::expected<std::vector<UsbDevice>, std::string> enumerate();

// The message of one of the USB library's log records without its header (time, thread, facility,
// level, function) and trailing blanks; nothing for its banner lines.
std::optional<std::string_view> library_message(std::string_view record);

// Forwards the USB library's own log records into the diagnostics under the target "libusb".
void forward_library_log();

class UsbTransport final : public Transport {
public:
    // Deadlines and back-off pauses go through `clock`; the library's own transfer time-outs do not.
    static std::expected<std::unique_ptr<UsbTransport>, IoError> open(const UsbDevice& device,
                                                                       clock::Clock& clock = clock::system());
    ~UsbTransport() override;

    std::size_t max_transfer() const override { return 131072; }
    std::expected<Reply, Error> execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) override;
    void abandon() override;
    void set_stop(StopCheck check) override;

private:
    UsbTransport() = default;
    // The data and status phases of one attempt, after the unit named phase `code`.
    std::expected<Reply, Error> exchange(std::uint8_t code, const Data& data, clock::Instant at, Duration timeout);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexlor::transport::usb
