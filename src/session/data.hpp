// How the session reads and sends each vendor data type: READ qualifiers, the header read's
// length and how much of the payload is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/data.hpp"

namespace vexlor::session::data {

struct ReadPlan {
    bool refused = false;      // every READ fails, even when the unit offers the type
    bool qualified = false;    // byte 4 is the caller's qualifier (else 0)
    std::uint8_t byte5 = 0;
    std::size_t first_read = 0;
    std::optional<std::size_t> kept;  // the most payload bytes returned; none: all
};

// None for the types the session never reads.
std::optional<ReadPlan> read_plan(protocol::data::DataType type);

// Byte 5 of the SEND CDB; none for the types the session never sends.
std::optional<std::uint8_t> send_qualifier(protocol::data::DataType type);

}  // namespace vexlor::session::data
