// Parses arbitrary text as a film format and resolves formats against arbitrary holder codes.
// Nothing may crash, and every parsed format must print back to an accepted text; that text
// parses to the same format unless a length in mm prints like a named format ("+68" is 68 mm).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/caps/caps.hpp"
#include "protocol/caps/film.hpp"

using namespace vexlor::protocol::caps;
using film::FilmFormat;

namespace {

std::optional<std::uint8_t> code_of(std::uint8_t b) {
    if (b == 0) return std::nullopt;
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto f = FilmFormat::parse(text);
    if (f) {
        const auto back = FilmFormat::parse(to_string(*f));
        if (!back) std::abort();
        if (*back != *f && !(f->kind() == FilmFormat::Kind::Custom && back->kind() != FilmFormat::Kind::Custom)) std::abort();
        (void)debug_string(*f);
    } else if (f.error().find(text) == std::string::npos) {
        std::abort();
    }

    if (size >= 3) {
        Capabilities caps;
        caps.address.holder_switch = code_of(data[0]);
        caps.address.holder = code_of(data[1]);
        caps.address.holder2 = code_of(data[2]);
        caps.identity.product = std::string(text.substr(3));
        const auto r = FilmFormat::resolve(std::nullopt, caps);
        if (!r) (void)vexlor::error::to_string(r.error());
        if (f && FilmFormat::resolve(*f, caps) != *f) std::abort();
    }
    return 0;
}
