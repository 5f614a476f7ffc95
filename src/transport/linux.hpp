// The transport for units the Linux SCSI generic driver presents as /dev/sgN.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "transport/transport.hpp"

namespace vexlor::transport::linux {

class SgTransport final : public Transport {
public:
    static std::expected<std::unique_ptr<SgTransport>, IoError> open(const std::string& path);
    ~SgTransport() override;

    std::size_t max_transfer() const override { return static_cast<std::size_t>(max_transfer_); }
    std::expected<Reply, Error> execute(std::span<const std::uint8_t> cdb, Data data, Duration timeout) override;

private:
    SgTransport(int fd, std::int32_t max_transfer) : fd_(fd), max_transfer_(max_transfer) {}
    int fd_;
    std::int32_t max_transfer_;
};

}  // namespace vexlor::transport::linux
