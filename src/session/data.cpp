#include "session/data.hpp"

#include <bit>
#include <chrono>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "bytes.hpp"
#include "diag/log.hpp"
#include "session/session.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session {

using namespace std::chrono_literals;
using protocol::data::DataType;
using protocol::data::Op;
using protocol::data::Operation;
using transport::Data;

namespace data {

std::optional<ReadPlan> read_plan(DataType type) {
    switch (type) {
        case DataType::Cooperation: return ReadPlan{false, false, 0x00, 6, std::nullopt};
        case DataType::Boundary: return ReadPlan{false, false, 0x03, 10, std::nullopt};
        case DataType::AnalogGamma: return ReadPlan{true, false, 0, 0, std::nullopt};
        case DataType::AnalogGain: return ReadPlan{false, false, 0x03, 6, 8};
        case DataType::DigitalGain: return ReadPlan{true, false, 0, 0, std::nullopt};
        case DataType::WhiteBalanceExposure: return ReadPlan{false, true, 0x03, 6, 4};
        case DataType::Setup: return ReadPlan{false, true, 0x00, 20, std::nullopt};
        case DataType::Perforation: return ReadPlan{false, false, 0x00, 10, std::nullopt};
        case DataType::Boundary2: return ReadPlan{false, false, 0x03, 10, std::nullopt};
        case DataType::ShipmentWhiteBalance: return ReadPlan{true, false, 0, 0, std::nullopt};
        case DataType::CcdData: return ReadPlan{false, false, 0x01, 6, std::nullopt};
        default: return std::nullopt;
    }
}

std::optional<std::uint8_t> send_qualifier(DataType type) {
    switch (type) {
        case DataType::Boundary:
        case DataType::Boundary2: return 0x03;
        case DataType::Setup: return 0x00;
        default: return std::nullopt;
    }
}

}  // namespace data

namespace {

constexpr std::string_view TARGET = "vexlor::session::data";
constexpr auto COMMAND_TIMEOUT = 30s;
constexpr auto AFTER_PERFORATIONS = 500ms;
constexpr std::uint32_t MAX_READ = 0xFFFFFF;
constexpr std::array<std::uint8_t, 6> TRIGGER_CDB{opcode::TRIGGER, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> DIAGNOSTIC_CDB{opcode::SEND_DIAGNOSTIC, 0x04, 0, 0, 0, 0};

error::Error invalid_data(std::string text) {
    return error::Error(transport::Error::io(transport::IoKind::InvalidData, std::move(text)));
}

void put24(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
}

error::Error does_not_offer(std::string op, const std::string& what) {
    return error::Error::unsupported(std::move(op), fmt::format("this unit does not offer {}", what));
}

}  // namespace

// ---- record reads ----

error::Result<Bytes> Session::read_step(std::span<const std::uint8_t, 10> cdb, std::size_t n) {
    std::array<std::uint8_t, 10> c;
    std::copy(cdb.begin(), cdb.end(), c.begin());
    put24(&c[6], static_cast<std::uint32_t>(n));
    VX_DEBUG(TARGET, fmt::format("cdb for read {:02x} {}", c[2], text::lower_hex_list(c)));
    Bytes buffer(n, 0);
    VX_TRY(const auto reply, run(c, Data::in(buffer), COMMAND_TIMEOUT));
    if (reply.transferred <= n) buffer.resize(reply.transferred);
    VX_DEBUG(TARGET, fmt::format("recv {}", text::lower_hex_list(buffer)));
    return buffer;
}

error::Result<Record> Session::read_record(DataType type, std::uint8_t qualifier) {
    const auto code = protocol::data::code(type);
    const auto plan = data::read_plan(type);
    if (!code || !plan || !caps.features.supports_read(*code)) {
        return std::unexpected(does_not_offer("read data type", protocol::data::debug_string(type)));
    }
    if (plan->refused) {
        return std::unexpected(error::Error::unsupported(
            "read data type", fmt::format("{} has no addressing qualifier", protocol::data::debug_string(type))));
    }
    const std::array<std::uint8_t, 10> cdb{opcode::READ, 0x00, *code, 0x00,
                                           static_cast<std::uint8_t>(plan->qualified ? qualifier : 0), plan->byte5,
                                           0, 0, 0, 0x80};
    const auto short_header = [&](std::size_t got) {
        return invalid_data(fmt::format("{} header was {} bytes", protocol::data::debug_string(type), got));
    };
    VX_TRY(const auto head, read_step(cdb, plan->first_read));
    if (head.size() < protocol::data::Header::size) return std::unexpected(short_header(head.size()));
    const std::uint32_t length = bytes::be32(head.data() + 2) + static_cast<std::uint32_t>(protocol::data::Header::size);
    // A READ's length field has three bytes: a header claiming more is not a record we can ask for.
    if (length > MAX_READ) {
        return std::unexpected(invalid_data(
            fmt::format("{} header claims {} bytes, more than one READ carries", protocol::data::debug_string(type), length)));
    }
    VX_TRY(auto whole, read_step(cdb, length));
    if (whole.size() < protocol::data::Header::size) return std::unexpected(short_header(whole.size()));
    Record r{*protocol::data::Header::from_bytes(whole), Bytes(whole.begin() + protocol::data::Header::size, whole.end())};
    if (plan->kept && r.payload.size() > *plan->kept) r.payload.resize(*plan->kept);
    VX_DEBUG(TARGET, "read data", diag::Field{"header", protocol::data::debug_string(r.header)},
             diag::field("bytes", r.payload.size()));
    return r;
}

error::Result<DataRecord> Session::read_data(DataType type, std::uint8_t qualifier) {
    VX_TRY(auto r, read_record(type, qualifier));
    const auto kind = protocol::data::value_kind(type).value_or(protocol::data::ValueKind::Raw);
    return DataRecord{r.header, protocol::data::Values::decode(kind, r.payload)};
}

// ---- sends and frame tables ----

error::Result<void> Session::send_data(DataType type, std::span<const std::uint8_t> payload) {
    const auto code = protocol::data::code(type);
    const auto qualifier = data::send_qualifier(type);
    if (!code || !qualifier || !caps.features.supports_send(*code)) {
        return std::unexpected(does_not_offer("send data type", protocol::data::debug_string(type)));
    }
    std::array<std::uint8_t, 10> cdb{opcode::SEND, 0x00, *code, 0x00, 0x00, *qualifier, 0, 0, 0, 0x00};
    put24(&cdb[6], static_cast<std::uint32_t>(payload.size()));
    VX_DEBUG(TARGET, fmt::format("cdb for send {:02x} {} data {}", *code, text::lower_hex_list(cdb), text::lower_hex_list(payload)));
    VX_CHECK(run(cdb, Data::out(payload), COMMAND_TIMEOUT));
    return {};
}

error::Result<protocol::data::Setup> Session::setup(std::uint8_t qualifier) {
    VX_TRY(const auto r, read_record(DataType::Setup, qualifier));
    auto s = protocol::data::Setup::from_bytes(r.payload);
    if (!s) return std::unexpected(invalid_data(fmt::format("Setup was {} bytes", r.payload.size())));
    return std::move(*s);
}

error::Result<void> Session::set_boundaries(const protocol::data::Boundary& table) {
    VX_TRY(const auto bytes, table.to_bytes());
    if (auto r = send_data(DataType::Boundary, bytes); !r) {
        if (r.error().is_refusal(protocol::sense::Refusal::BadCdbField)) {
            return std::unexpected(error::Error::unsupported(
                "frame table", fmt::format("this unit would not take a {}-frame table of {} bytes", table.rects.size(),
                                           bytes.size())));
        }
        return r;
    }
    frame_table = protocol::data::FrameTable{protocol::data::FrameTable::Rects{table}};
    return {};
}

error::Result<protocol::data::BoundaryType2> Session::read_boundaries_type2() {
    VX_TRY(const auto r, read_record(DataType::Boundary2));
    auto t = protocol::data::BoundaryType2::from_bytes(r.payload);
    if (!t) return std::unexpected(invalid_data(fmt::format("BoundaryType2 was {} bytes", r.payload.size())));
    return std::move(*t);
}

error::Result<protocol::data::BoundaryType2> Session::boundaries_type2() {
    VX_TRY(auto t, read_boundaries_type2());
    frame_table = protocol::data::FrameTable{protocol::data::FrameTable::Positions{t}};
    return t;
}

error::Result<void> Session::set_boundaries_type2_for_pass(const protocol::data::BoundaryType2& table) {
    VX_TRY(const auto bytes, table.to_bytes());
    return send_data(DataType::Boundary2, bytes);
}

error::Result<void> Session::set_boundaries_type2(const protocol::data::BoundaryType2& table) {
    VX_CHECK(set_boundaries_type2_for_pass(table));
    frame_table = protocol::data::FrameTable{protocol::data::FrameTable::Positions{table}};
    return {};
}

error::Result<std::vector<protocol::data::PerforationInformation>> Session::read_perforations() {
    VX_TRY(const auto r, read_record(DataType::Perforation));
    VX_CHECK(test_unit_ready(AFTER_PERFORATIONS));
    auto list = protocol::data::PerfInformation::from_bytes(r.payload);
    if (!list) return std::unexpected(invalid_data(fmt::format("PerfInfo was {} bytes", r.payload.size())));
    return std::move(*list);
}

// ---- EXECUTE, GET PARAMETER, SEND DIAGNOSTIC ----

error::Result<void> Session::execute(Op op, const Operation& operation, Duration timeout) {
    if (!caps.features.execute_ops.offers(op.code())) {
        return std::unexpected(does_not_offer("execute operation", protocol::data::debug_string(op)));
    }
    const std::array<std::uint8_t, 10> cdb{opcode::EXECUTE, 0, op.code(), 0, 0, 0, 0, 0, Operation::size, 0};
    const auto block = operation.to_bytes();
    VX_CHECK(run(cdb, Data::out(block), COMMAND_TIMEOUT));
    VX_DEBUG(TARGET, "executing", diag::Field{"operation", protocol::data::debug_string(op)},
             diag::Field{"params", protocol::data::debug_string(operation)});
    VX_CHECK(run(TRIGGER_CDB, Data::none(), COMMAND_TIMEOUT));
    auto done = test_unit_ready(timeout);
    if (done || !done.error().is_failure<protocol::sense::Failure::Mechanism>()) return done;
    // The unit can say more about a mechanism failure when asked for a self-test.
    auto diagnosis = diagnose(*transport);
    if (!diagnosis || !*diagnosis) return done;
    const auto& s = **diagnosis;
    const bool out_of_focus = s.key == 0x01 && s.asc == 0x61 && s.ascq == 0x02;
    using protocol::sense::Failure;
    const Failure failure = out_of_focus ? Failure{Failure::OutOfFocus{}} : Failure{Failure::Mechanism{}};
    return std::unexpected(error::Error(protocol::sense::Fault{protocol::sense::Fault::Reported{failure, s}}));
}

error::Result<Operation> Session::get_parameter(Op op) {
    if (!caps.features.execute_ops.offers(op.code())) {
        return std::unexpected(does_not_offer("get parameter", protocol::data::debug_string(op)));
    }
    const std::array<std::uint8_t, 10> cdb{opcode::GET_PARAMETER, 0, op.code(), 0, 0, 0, 0, 0, Operation::size, 0};
    std::array<std::uint8_t, Operation::size> buffer{};
    VX_TRY(const auto reply, run(cdb, Data::in(buffer), COMMAND_TIMEOUT));
    if (reply.transferred < Operation::size) {
        return std::unexpected(
            invalid_data(fmt::format("{} was {} bytes", protocol::data::debug_string(op), reply.transferred)));
    }
    const Operation parsed = *Operation::from_bytes(buffer);
    VX_DEBUG(TARGET, "read parameters", diag::Field{"operation", protocol::data::debug_string(op)},
             diag::Field{"params", protocol::data::debug_string(parsed)});
    return parsed;
}

error::Result<std::optional<transport::Sense>> Session::diagnose(transport::Transport& transport) {
    auto reply = transport.execute(DIAGNOSTIC_CDB, Data::none(), COMMAND_TIMEOUT);
    if (!reply) return std::unexpected(error::Error(std::move(reply).error()));
    VX_DEBUG(TARGET, "diagnostic", diag::Field{"status", transport::debug_string(reply->status)},
             diag::Field{"sense", transport::debug_string(reply->sense)});
    if (reply->status.kind() == transport::Status::Kind::CheckCondition && reply->sense) return reply->sense;
    return std::optional<transport::Sense>{};
}

// ---- CCD curves ----

void Session::fetch_curves() {
    if (!caps.ccd) return;
    auto r = read_record(DataType::CcdData);
    if (!r) {
        VX_DEBUG(TARGET, "no CCD curves to correct with", diag::Field{"e", error::to_string(r.error())});
        return;
    }
    std::vector<std::uint16_t> words(r->payload.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = bytes::be16(r->payload.data() + 2 * i);
    const std::size_t colours = caps.address.ccd_lines ? caps.address.ccd_lines : 1;
    auto parsed = protocol::curves::Curves::parse(*caps.ccd, words, colours, 0);
    if (parsed) {
        curves = std::make_shared<const protocol::curves::Curves>(std::move(*parsed));
        return;
    }
    VX_WARN(TARGET, "the CCD curves do not match the page describing them, scanning uncorrected",
            diag::field("curves", static_cast<std::size_t>(caps.ccd->curves) * std::popcount(caps.ccd->channels)),
            diag::field("points", caps.ccd->values.size()), diag::field("got", words.size()));
    curves.reset();
}

}  // namespace vexlor::session
