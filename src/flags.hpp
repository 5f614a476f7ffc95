// A set of named bits over an unsigned integer, with the text form "Name(A | B)".
//
// A flag type is `Flags<Tag>` where Tag gives `using Bits = ...;`, `static constexpr
// std::string_view name`, and `static constexpr std::array<std::pair<std::string_view, Bits>, N> names`
// in table order. That table is the only place a set's bits are written: named constants are
// looked up in it with `named`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vexlor {

namespace flags_detail {
// Deliberately not constexpr: `named` reaches it only for a name its table lacks, which makes
// the constant that asked for it fail to compile.
void name_is_not_in_the_table(std::string_view name);
}  // namespace flags_detail

template <class Tag>
class Flags {
public:
    using Bits = typename Tag::Bits;

    constexpr Flags() = default;

    // Every bit kept, named or not.
    static constexpr Flags from_bits_retain(Bits b) { return Flags(b); }
    // Only the named bits kept, also of a value wider than the set (a page's flag field).
    static constexpr Flags from_bits_truncate(std::uint64_t b) { return Flags(static_cast<Bits>(b & all().bits_)); }
    static constexpr Flags all() {
        Bits m = 0;
        for (const auto& n : Tag::names) m = static_cast<Bits>(m | n.second);
        return Flags(m);
    }
    // The bits the table gives `name`, at compile time only.
    static consteval Flags named(std::string_view name) {
        for (const auto& [n, bit] : Tag::names) {
            if (n == name) return Flags(bit);
        }
        flags_detail::name_is_not_in_the_table(name);
        return Flags();
    }

    constexpr Bits bits() const { return bits_; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr bool contains(Flags o) const { return (bits_ & o.bits_) == o.bits_; }
    constexpr bool intersects(Flags o) const { return (bits_ & o.bits_) != 0; }

    constexpr Flags operator|(Flags o) const { return Flags(static_cast<Bits>(bits_ | o.bits_)); }
    constexpr Flags operator&(Flags o) const { return Flags(static_cast<Bits>(bits_ & o.bits_)); }
    constexpr Flags& operator|=(Flags o) { bits_ = static_cast<Bits>(bits_ | o.bits_); return *this; }
    constexpr bool operator==(const Flags&) const = default;

private:
    constexpr explicit Flags(Bits b) : bits_(b) {}
    Bits bits_ = 0;
};

template <class Tag>
std::string debug_string(Flags<Tag> f) {
    using Bits = typename Tag::Bits;
    std::string out(Tag::name);
    out += '(';
    if (f.empty()) return out + "0x0)";
    Bits rest = f.bits();
    bool first = true;
    for (const auto& [name, bit] : Tag::names) {
        // A name is printed when all its bits are set and some are not yet named.
        if ((f.bits() & bit) == bit && (rest & bit) != 0) {
            if (!first) out += " | ";
            out += name;
            first = false;
            rest = static_cast<Bits>(rest & ~bit);
        }
    }
    if (rest != 0) {
        if (!first) out += " | ";
        out += fmt::format("{:#x}", static_cast<unsigned long long>(rest));
    }
    return out + ")";
}

}  // namespace vexlor
