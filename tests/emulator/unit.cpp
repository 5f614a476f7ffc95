#include "emulator/unit.hpp"

#include <array>
#include <algorithm>
#include <string>

#include "emulator/pages.hpp"

namespace vexlor::emulator {

namespace {

void put_text(std::vector<std::uint8_t>& d, std::size_t at, std::size_t width, std::string_view s) {
    for (std::size_t i = 0; i < width; ++i) d[at + i] = i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ';
}

Response test_unit_ready(Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) { return Response::good(); }

}  // namespace

std::string product_text(protocol::model::Model m) {
    return std::string(protocol::model::name(m)) + " ED";
}

Unit::Unit(protocol::model::Model model) : model_(model) {
    on(0x00, test_unit_ready);
    on(0x12, [](Unit& u, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t>) { return u.inquiry_reply(cdb); });
}

void Unit::set_model(protocol::model::Model m) {
    std::lock_guard lock(mutex_);
    model_ = m;
}

void Unit::set_device_type(std::uint8_t type) {
    std::lock_guard lock(mutex_);
    device_type_ = type;
}

void Unit::set_qualifier(std::uint8_t qualifier) {
    std::lock_guard lock(mutex_);
    qualifier_ = qualifier;
}

void Unit::set_inquiry(Inquiry how) {
    std::lock_guard lock(mutex_);
    inquiry_ = how;
}

void Unit::set_product(std::string product) {
    std::lock_guard lock(mutex_);
    product_ = std::move(product);
}

void Unit::on(std::uint8_t opcode, Command c) {
    std::lock_guard lock(mutex_);
    commands_[opcode] = std::move(c);
}

std::size_t Unit::out_length(std::span<const std::uint8_t> cdb) const {
    std::lock_guard lock(mutex_);
    if (cdb.empty()) return 0;
    auto it = commands_.find(cdb[0]);
    if (it == commands_.end() || !it->second.out_length) return 0;
    return it->second.out_length(cdb);
}

Response Unit::execute(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
    Handler h;
    {
        std::lock_guard lock(mutex_);
        received_.emplace_back(cdb.begin(), cdb.end());
        if (cdb.empty()) return Response::check(0x05, 0x20, 0x00);
        auto it = commands_.find(cdb[0]);
        if (it == commands_.end()) return Response::check(0x05, 0x20, 0x00);
        h = it->second.handler;
    }
    return h(*this, cdb, out);
}

Response Unit::inquiry_reply(std::span<const std::uint8_t> cdb) {
    if (cdb.size() < 6) return Response::check(0x05, 0x24, 0x00);
    const std::size_t alloc = cdb[4];
    Inquiry how;
    protocol::model::Model m;
    std::uint8_t type, qual;
    std::string prod;
    {
        std::lock_guard lock(mutex_);
        how = inquiry_;
        m = model_;
        type = device_type_;
        qual = qualifier_;
        prod = product_ ? *product_ : product_text(model_);
    }
    if (how == Inquiry::Check) return Response::check(0x04, 0x44, 0x00);
    std::vector<std::uint8_t> d;
    if (cdb[1] & 0x01) {
        auto page = vpd_page(m, cdb[2]);
        if (!page) return Response::check(0x05, 0x24, 0x00);
        d = std::move(*page);
    } else {
        d.assign(36, 0);
        d[0] = static_cast<std::uint8_t>((qual << 5) | (type & 0x1F));
        d[2] = 0x02;
        d[3] = 0x02;
        d[4] = 31;
        put_text(d, 8, 8, "VEXEMU");
        put_text(d, 16, 16, prod);
        put_text(d, 32, 4, "1.00");
        if (how == Inquiry::Short) d.resize(35);
    }
    if (d.size() > alloc) d.resize(alloc);
    return Response::with_data(std::move(d));
}

void Unit::script(Fault f) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(f));
}

Fault Unit::next_fault() {
    std::lock_guard lock(mutex_);
    if (script_.empty()) return Fault{};
    Fault f = std::move(script_.front());
    script_.pop_front();
    return f;
}

std::vector<std::vector<std::uint8_t>> Unit::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::expected<transport::Reply, transport::Error> LocalTransport::execute(std::span<const std::uint8_t> cdb,
                                                                          transport::Data data, transport::Duration) {
    std::span<const std::uint8_t> out;
    if (const auto* o = std::get_if<transport::Data::Out>(&data.value)) out = o->buffer;
    const Response r = unit_->execute(cdb, out);
    std::size_t transferred = out.size();
    if (const auto* in = std::get_if<transport::Data::In>(&data.value)) {
        transferred = std::min(in->buffer.size(), r.data_in.size());
        std::copy_n(r.data_in.begin(), transferred, in->buffer.begin());
    }
    // The reply as a USB unit's status block carries it.
    const std::array<std::uint8_t, 8> block{r.status, r.key, r.asc, r.ascq, r.fourth, 0, 0, 0};
    return transport::reply_from_status_block(block, transferred);
}

}  // namespace vexlor::emulator
