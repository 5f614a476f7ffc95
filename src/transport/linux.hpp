// The transport for units the Linux SCSI generic driver presents as /dev/sgN.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.hpp"

namespace vexlor::transport::linux {

// The host adapter status of one command's reply; codes 12 and above are Unknown, keeping the code.
struct HostStatus {
    enum class Kind { Ok, NoConnect, BusBusy, Timeout, BadTarget, Abort, Parity, Error, Reset, BadIntr, Passthrough, SoftError, Unknown };
    std::uint16_t code = 0;

    Kind kind() const { return code < static_cast<std::uint16_t>(Kind::Unknown) ? static_cast<Kind>(code) : Kind::Unknown; }
    bool operator==(const HostStatus&) const = default;
};
// "NoConnect", "Unknown(14)".
std::string debug_string(HostStatus h);

// The `info` word of one command's reply.
struct Info {
    std::uint32_t bits = 0;
    bool operator==(const Info&) const = default;
};
// "OK | INDIRECT_IO", "CHECK | DIRECT_IO".
std::string to_string(Info i);

// Each command is written to the node and its reply read back (the driver's asynchronous
// interface), so the wait for a unit that never answers can be cut short by the stop check from
// any thread; a command so cut short stays with the driver, which answers it later.
class SgTransport final : public Transport {
public:
    static std::expected<std::unique_ptr<SgTransport>, IoError> open(const std::string& path);
    ~SgTransport() override;

    std::size_t max_transfer() const override { return static_cast<std::size_t>(max_transfer_); }
    std::expected<Reply, Error> execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) override;
    void abandon() override;

private:
    struct Request;
    SgTransport(int fd, std::int32_t max_transfer);
    std::expected<void, Error> await(Request& request, Duration timeout);

    int fd_;
    std::int32_t max_transfer_;
    std::int32_t next_id_ = 0;
    // Commands cut short: the driver still writes their sense and data here when their replies come.
    std::vector<std::unique_ptr<Request>> orphans_;
};

}  // namespace vexlor::transport::linux
