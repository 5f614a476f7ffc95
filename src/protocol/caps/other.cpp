#include "protocol/caps/other.hpp"

#include <fmt/format.h>

#include "error.hpp"
#include "protocol/data.hpp"
#include "try.hpp"

namespace vexlor::protocol::caps::other {

namespace {

// Data-type codes with their support bits in `data_types`; -1 where the direction has none.
struct SupportRow {
    std::uint8_t code;
    int read_bit;
    int send_bit;
};

constexpr std::array<SupportRow, 11> support_bits{{
    {0x87, 20, -1},  // Cooperation
    {0x88, 21, 22},  // Boundary
    {0x89, 24, -1},  // AnalogGamma
    {0x8A, 25, -1},  // AnalogGain
    {0x8B, 26, -1},  // DigitalGain
    {0x8C, 27, -1},  // WhiteBalanceExposure
    {0x8D, 28, 29},  // Setup
    {0x8E, 30, -1},  // Perforation
    {0x8F, 32, 33},  // Boundary2
    {0x90, 34, -1},  // ShipmentWhiteBalance
    {0x91, 35, -1},  // CcdData
}};

bool has_bit(std::uint64_t bits, int bit) { return bit >= 0 && ((bits >> bit) & 1) != 0; }

}  // namespace

bool ExecuteOps::offers(std::uint8_t code) const {
    if (code < 0x80) return false;
    return ((words[(code >> 4) - 8] >> (code & 15)) & 1) != 0;
}

std::vector<data::Op> ExecuteOps::ops() const {
    std::vector<data::Op> out;
    for (unsigned c = 0x80; c <= 0xFF; ++c) {
        if (offers(static_cast<std::uint8_t>(c))) out.emplace_back(static_cast<std::uint8_t>(c));
    }
    return out;
}

std::string debug_string(const ExecuteOps& ops) {
    std::string out = "[";
    bool first = true;
    for (const data::Op op : ops.ops()) {
        if (!first) out += ", ";
        out += fmt::format("{} ({:02X}h)", data::debug_string(op), op.code());
        first = false;
    }
    return out + "]";
}

bool Features::supports_read(std::uint8_t data_type) const {
    for (const auto& r : support_bits) {
        if (r.code == data_type) return has_bit(data_types, r.read_bit);
    }
    return false;
}

bool Features::supports_send(std::uint8_t data_type) const {
    for (const auto& r : support_bits) {
        if (r.code == data_type) return has_bit(data_types, r.send_bit);
    }
    return false;
}

std::expected<Features, Error> Features::from_page(const Page& page) {
    Features f;
    VX_TRY(const auto cooperation, page.flags(HEADER_SIZE));
    f.cooperation = HostCooperation::from_bits_truncate(cooperation.first);
    VX_TRY(const auto data_types, page.flags(HEADER_SIZE + cooperation.second));
    f.data_types = data_types.first & 0x7F7F7F3F3FULL;
    const std::size_t q = HEADER_SIZE + cooperation.second + data_types.second;

    // The third flag field is read before the fixed part, so a page that ends inside the fixed
    // part reports the flag reader's need.
    VX_TRY(const auto third, page.flags(q + 25));
    VX_CHECK(page.bytes(q, 9));  // not interpreted
    VX_TRY(const auto bitmap, page.bytes(q + 9, 2 * f.execute_ops.words.size()));
    for (std::size_t k = 0; k < f.execute_ops.words.size(); ++k) {
        f.execute_ops.words[k] = static_cast<std::uint16_t>(bitmap[2 * k] | (bitmap[2 * k + 1] << 8));
    }
    const std::size_t tail = q + 25 + third.second;
    VX_CHECK(page.u8(tail));  // not interpreted
    VX_CHECK(page.u8(tail + 1));
    VX_TRY(f.page_length, page.u8(PAGE_LENGTH_AT));
    return f;
}

}  // namespace vexlor::protocol::caps::other
