// The unit models, recognised from the INQUIRY product text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vexlor::protocol::model {

enum class Model { Ls40, Ls50, Ls4000, Ls5000, Ls8000, Ls9000 };

// The first row of the model table whose text occurs in `product` (exact, case-sensitive);
// longer names are searched first, since "LS-50" occurs in "LS-5000".
std::optional<Model> from_product(std::string_view product);
// The model's display name, as in the table: "LS-50".
std::string_view name(Model m);
std::string_view debug_name(Model m);
// The USB product id of vendor 04B0h, for the models that attach by USB.
std::optional<std::uint16_t> usb_product(Model m);
std::optional<Model> from_usb_product(std::uint16_t product);

}  // namespace vexlor::protocol::model
