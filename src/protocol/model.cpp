#include "protocol/model.hpp"

#include <array>

namespace vexlor::protocol::model {

namespace {

struct Row {
    std::string_view text;
    Model model;
    std::optional<std::uint16_t> usb;
    std::string_view debug;
};

// Searched in this order.
constexpr std::array<Row, 6> table{{
    {"LS-9000", Model::Ls9000, std::nullopt, "Ls9000"},
    {"LS-8000", Model::Ls8000, std::nullopt, "Ls8000"},
    {"LS-5000", Model::Ls5000, 0x4002, "Ls5000"},
    {"LS-4000", Model::Ls4000, std::nullopt, "Ls4000"},
    {"LS-50", Model::Ls50, 0x4001, "Ls50"},
    {"LS-40", Model::Ls40, 0x4000, "Ls40"},
}};

const Row& row(Model m) {
    for (const auto& r : table) {
        if (r.model == m) return r;
    }
    return table.back();
}

}  // namespace

std::optional<Model> from_product(std::string_view product) {
    for (const auto& r : table) {
        if (product.find(r.text) != std::string_view::npos) return r.model;
    }
    return std::nullopt;
}

std::string_view name(Model m) { return row(m).text; }
std::string_view debug_name(Model m) { return row(m).debug; }
std::optional<std::uint16_t> usb_product(Model m) { return row(m).usb; }

std::optional<Model> from_usb_product(std::uint16_t product) {
    for (const auto& r : table) {
        if (r.usb == product) return r.model;
    }
    return std::nullopt;
}

}  // namespace vexlor::protocol::model
