#include "emulator/unit.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <tuple>

namespace vexlor::emulator {

namespace {

namespace op {
constexpr std::uint8_t AUTO_FOCUS = 0xA0;
constexpr std::uint8_t COLOR_AUTO_FOCUS = 0xA1;
constexpr std::uint8_t FOCUS_MOVE = 0xC1;
constexpr std::uint8_t UNLOAD = 0xD0;
constexpr std::uint8_t LOAD = 0xD1;
}  // namespace op

// Operation codes the unit answers on its own.
namespace cmd {
constexpr std::uint8_t TEST_UNIT_READY = 0x00;
constexpr std::uint8_t INQUIRY = 0x12;
constexpr std::uint8_t MODE_SELECT = 0x15;
constexpr std::uint8_t RESERVE_UNIT = 0x16;
constexpr std::uint8_t RELEASE_UNIT = 0x17;
constexpr std::uint8_t SCAN = 0x1B;
constexpr std::uint8_t SEND_DIAGNOSTIC = 0x1D;
constexpr std::uint8_t SET_WINDOW = 0x24;
constexpr std::uint8_t GET_WINDOW = 0x25;
constexpr std::uint8_t READ = 0x28;
constexpr std::uint8_t SEND = 0x2A;
constexpr std::uint8_t ABORT = 0xC0;
constexpr std::uint8_t TRIGGER = 0xC1;
constexpr std::uint8_t EXECUTE = 0xE0;
constexpr std::uint8_t GET_PARAMETER = 0xE1;
}  // namespace cmd

// Data types and the bit of each in the features page's READ and SEND support bits.
struct TypeBits {
    std::uint8_t code;
    int read;
    int send;  // -1: never sent
};
constexpr std::array<TypeBits, 11> TYPE_BITS{{{0x87, 20, -1}, {0x88, 21, 22}, {0x89, 24, -1}, {0x8A, 25, -1},
                                              {0x8B, 26, -1}, {0x8C, 27, -1}, {0x8D, 28, 29}, {0x8E, 30, -1},
                                              {0x8F, 32, 33}, {0x90, 34, -1}, {0x91, 35, -1}}};

const TypeBits* type_bits(std::uint8_t code) {
    for (const auto& t : TYPE_BITS) {
        if (t.code == code) return &t;
    }
    return nullptr;
}

constexpr int DEFAULT_POLLS = 2;

// The initiator whose command a test's handler is answering, for `standard` called from it.
thread_local Initiator calling = 0;

Response illegal(std::uint8_t asc, std::uint8_t ascq = 0) { return Response::check(0x05, asc, ascq); }
Response unknown_opcode() { return illegal(0x20); }
Response bad_cdb_field() { return illegal(0x24); }
Response bad_param_field() { return illegal(0x26); }
Response bad_length() { return illegal(0x1A); }
Response out_of_sequence() { return illegal(0x2C); }
Response no_medium() { return Response::check(0x02, 0x3A, 0x00, 1); }
Response nothing_to_load() { return Response::check(0x02, 0x3A, 0x00, 0); }
Response mechanism() { return Response::check(0x02, 0x04, 0x02); }

std::uint32_t be(std::span<const std::uint8_t> b, std::size_t at, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | b[at + i];
    return v;
}

void put_be(std::vector<std::uint8_t>& d, std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Response cut(std::vector<std::uint8_t> d, std::span<const std::uint8_t> cdb) {
    const std::size_t n = allocation_length(cdb);
    if (d.size() > n) d.resize(n);
    return Response::with_data(std::move(d));
}

void put_text(std::vector<std::uint8_t>& d, std::size_t at, std::size_t width, std::string_view s) {
    for (std::size_t i = 0; i < width; ++i) d[at + i] = i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ';
}

}  // namespace

std::size_t allocation_length(std::span<const std::uint8_t> cdb) {
    if (cdb.size() >= 10) return be(cdb, 6, 3);
    if (cdb.size() >= 6) return cdb[4];
    return 0;
}

std::string product_text(protocol::model::Model m) {
    return std::string(protocol::model::name(m)) + " ED";
}

Unit::Unit(protocol::model::Model model) : model_(model), values_(model_values(model)) { power_on(); }

// Called with the mutex held, or before anyone else sees the unit.
void Unit::power_on() {
    loaded_ = true;
    waiting_ = false;
    scanning_ = false;
    reserved_by_.reset();
    divisor_ = 1200;
    focus_ = power_on_focus(values_);
    windows_.clear();
    for (const auto& w : power_on_windows(values_)) windows_[w[0]] = w;
    tables_.clear();
    armed_.reset();
    running_.reset();
    diagnosis_.reset();
    film_ = std::make_shared<const film::Film>(values_.frames ? film::published(values_) : film::strip(values_));
    stream_.reset();
    pass_.reset();
    thumbnail_.reset();
    truncation_.reset();
}

protocol::model::Model Unit::model() const {
    std::lock_guard lock(mutex_);
    return model_;
}

void Unit::set_model(protocol::model::Model m) {
    std::lock_guard lock(mutex_);
    model_ = m;
    values_ = model_values(m);
    power_on();
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

Initiator Unit::connect() {
    std::lock_guard lock(mutex_);
    return next_initiator_++;
}

std::size_t Unit::out_length(std::span<const std::uint8_t> cdb) const {
    std::lock_guard lock(mutex_);
    if (cdb.empty()) return 0;
    auto it = commands_.find(cdb[0]);
    if (it != commands_.end()) return it->second.out_length ? it->second.out_length(cdb) : 0;
    switch (cdb[0]) {
        case cmd::MODE_SELECT:
        case cmd::SCAN: return cdb.size() >= 6 ? cdb[4] : 0;
        case cmd::SET_WINDOW:
        case cmd::SEND:
        case cmd::EXECUTE: return cdb.size() >= 10 ? be(cdb, 6, 3) : 0;
        default: return 0;
    }
}

Response Unit::execute(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out, Initiator who) {
    Handler h;
    std::optional<Response> answered;
    std::chrono::nanoseconds pace{0};
    {
        std::lock_guard lock(mutex_);
        log_.push_back(Logged{{cdb.begin(), cdb.end()}, {out.begin(), out.end()}, who});
        if (cdb.empty()) return unknown_opcode();
        if (auto r = scripted(cdb, out, who)) return *r;
        auto it = commands_.find(cdb[0]);
        if (it == commands_.end()) {
            pace_ = {};
            answered = run_standard(cdb, out, who);
            pace = std::exchange(pace_, {});
        } else {
            h = it->second.handler;
        }
    }
    if (answered) {
        // A slow link delivers after the unit has let go of its state.
        if (pace.count() > 0) std::this_thread::sleep_for(pace);
        return *answered;
    }
    const Initiator outer = calling;
    calling = who;
    Response r = h(*this, cdb, out);
    calling = outer;
    return r;
}

Response Unit::standard(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
    std::lock_guard lock(mutex_);
    if (cdb.empty()) return unknown_opcode();
    return run_standard(cdb, out, calling);
}

// The scripted behaviours, in the order a unit would meet them. Called with the mutex held.
std::optional<Response> Unit::scripted(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t>, Initiator who) {
    const std::uint8_t opcode = cdb[0];
    if (unplug_at_ && *unplug_at_ == opcode) unplugged_ = true;
    if (unplugged_) return Response::unplugged();
    if (auto it = stalls_.find(opcode); it != stalls_.end() && it->second.second != 0) {
        if (it->second.second > 0) --it->second.second;
        Response r;
        r.stall = it->second.first;
        return r;
    }
    // INQUIRY is answered whatever else is going on.
    if (opcode == cmd::INQUIRY) return std::nullopt;
    // Another initiator's reservation shuts out everything but RELEASE UNIT, which does nothing then.
    if (reserved_by_ && *reserved_by_ != who && opcode != cmd::RELEASE_UNIT) return Response{0x18, 0, 0, 0, 0, {}};
    if (attentions_left_ > 0) {
        --attentions_left_;
        ++attentions_raised_;
        return Response::check(0x06, attention_code_.first, attention_code_.second);
    }
    if (!spell_.empty()) {
        Spell& s = spell_.front();
        const std::uint8_t activity = s.activity;
        if (--s.polls <= 0) spell_.pop_front();
        return Response::check(0x02, 0x04, 0x01, activity);
    }
    for (auto it = coops_.begin(); it != coops_.end(); ++it) {
        if (it->opcode != opcode) continue;
        coop_record_ = it->record;
        const std::uint8_t kind = it->record.empty() ? 0 : it->record[0];
        // Extra edge bytes or lines announced during SCAN shape the pass that follows.
        if (opcode == cmd::SCAN) {
            if (const auto a = protocol::data::CooperativeAction::from_bytes(it->record)) {
                if (const auto* t = std::get_if<protocol::data::CooperativeAction::Truncate>(&a->value)) truncation_ = t->truncation;
            }
        }
        if (--it->times <= 0) coops_.erase(it);
        return Response::check(0x09, 0x80, kind);
    }
    for (auto* table : {&refusals_, &failures_}) {
        auto it = table->find(opcode);
        if (it == table->end() || it->second.times == 0) continue;
        if (it->second.times > 0) --it->second.times;
        return it->second.answer;
    }
    return std::nullopt;
}

Response Unit::run_standard(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out, Initiator who) {
    const std::uint8_t opcode = cdb[0];
    Response r;
    // A scan open on the unit refuses what would disturb it; INQUIRY, TEST UNIT READY, the
    // reservation, READ and ABORT go on.
    static constexpr std::array<std::uint8_t, 6> during_scan{cmd::INQUIRY, cmd::TEST_UNIT_READY, cmd::RESERVE_UNIT,
                                                             cmd::RELEASE_UNIT, cmd::READ, cmd::ABORT};
    if (scanning_ && std::find(during_scan.begin(), during_scan.end(), opcode) == during_scan.end()) return out_of_sequence();
    switch (opcode) {
        case cmd::TEST_UNIT_READY: r = ready(); break;
        case cmd::INQUIRY: r = inquiry_reply(cdb); break;
        case cmd::MODE_SELECT: {
            if (cdb.size() < 6 || cdb[4] != 12 || out.size() != 12) return bad_length();
            if (out[4] != 0x03 || out[5] != 0x06 || out[6] != 0x00) return bad_param_field();
            const auto divisor = static_cast<std::uint16_t>(be(out, 8, 2));
            if (divisor != 1200 && divisor != values_.address.x.max_dpi) return bad_param_field();
            divisor_ = divisor;
            break;
        }
        case cmd::RESERVE_UNIT: reserved_by_ = who; break;
        case cmd::RELEASE_UNIT:
            if (reserved_by_ == who) reserved_by_.reset();
            break;
        case cmd::SCAN: r = start_scan(out); break;
        case cmd::SEND_DIAGNOSTIC:
            if (diagnosis_) {
                const auto d = *diagnosis_;
                diagnosis_.reset();
                return Response::check(d[0], d[1], d[2]);
            }
            break;
        case cmd::SET_WINDOW: r = set_window(out); break;
        case cmd::GET_WINDOW: r = get_window(cdb); break;
        case cmd::READ: r = cdb.size() >= 10 && cdb[2] == 0x00 ? read_image(cdb) : read_record(cdb); break;
        case cmd::SEND: r = send_record(cdb, out); break;
        case cmd::ABORT:
            scanning_ = false;
            warming_ = 0;
            stream_.reset();
            armed_.reset();
            break;
        case cmd::TRIGGER: r = trigger(); break;
        case cmd::EXECUTE: r = execute_op(cdb, out); break;
        case cmd::GET_PARAMETER: {
            if (cdb.size() < 10 || !offers_op(cdb[2])) return bad_cdb_field();
            std::vector<std::uint8_t> d{0};
            put_be(d, cdb[2] == op::FOCUS_MOVE ? focus_ : 0, 4);
            put_be(d, 0, 4);
            r = cut(std::move(d), cdb);
            break;
        }
        default: return unknown_opcode();
    }
    if (r.status == 0x00 && r.key == 0) {
        auto it = adjustments_.find(opcode);
        if (it != adjustments_.end() && it->second.times != 0) {
            if (it->second.times > 0) --it->second.times;
            r.status = 0x02;
            r.key = 0x01;
            r.asc = it->second.answer.asc;
            r.ascq = it->second.answer.ascq;
        }
    }
    return r;
}

// TEST UNIT READY: the operation in progress first, then the scan and the medium.
Response Unit::ready() {
    // A pass's lamp warming up: the unit is not ready for it yet, though ABORT still stops it.
    if (warming_ > 0 && scanning_) {
        --warming_;
        return Response::check(0x02, 0x04, 0x01, activity::OPERATING);
    }
    if (running_) {
        if (running_->polls > 0) {
            --running_->polls;
            return Response::check(0x02, 0x04, 0x01, running_->activity);
        }
        const Pending done = *running_;
        running_.reset();
        switch (done.op) {
            case op::LOAD:
                if (!waiting_) return nothing_to_load();
                waiting_ = false;
                loaded_ = true;
                break;
            case op::UNLOAD:
                if (!loaded_) return no_medium();
                loaded_ = false;
                break;
            case op::FOCUS_MOVE: focus_ = done.params.first; break;
            case op::AUTO_FOCUS:
            case op::COLOR_AUTO_FOCUS:
                if (!loaded_) return no_medium();
                if (!focus_found_) {
                    diagnosis_ = {0x01, 0x61, 0x02};
                    return mechanism();
                }
                focus_ = found_focus(values_);
                break;
            default: break;
        }
        return Response::good();
    }
    if (scanning_) return Response::good();
    if (!loaded_) return no_medium();
    return Response::good();
}

Response Unit::inquiry_reply(std::span<const std::uint8_t> cdb) {
    if (cdb.size() < 6) return bad_cdb_field();
    if (inquiry_ == Inquiry::Check) return Response::check(0x04, 0x44, 0x00);
    std::vector<std::uint8_t> d;
    if (cdb[1] & 0x01) {
        if (auto it = pages_.find(cdb[2]); it != pages_.end()) {
            d = it->second;
        } else {
            // The published frame table follows what is loaded.
            ModelValues now = values_;
            if (now.frames && !loaded_) now.frames->frames.clear();
            auto page = page_of(now, cdb[2]);
            if (!page) return bad_cdb_field();
            d = std::move(*page);
        }
    } else {
        d.assign(36, 0);
        d[0] = static_cast<std::uint8_t>((qualifier_ << 5) | (device_type_ & 0x1F));
        d[2] = 0x02;
        d[3] = 0x02;
        d[4] = 31;
        put_text(d, 8, 8, "VEXEMU");
        put_text(d, 16, 16, product_ ? *product_ : product_text(model_));
        put_text(d, 32, 4, "1.00");
        if (inquiry_ == Inquiry::Short) d.resize(35);
    }
    if (d.size() > cdb[4]) d.resize(cdb[4]);
    return Response::with_data(std::move(d));
}

std::optional<std::vector<std::uint8_t>> Unit::record_payload(std::uint8_t type, std::uint8_t qualifier) const {
    if (auto it = records_.find(type); it != records_.end()) return it->second;
    switch (type) {
        case 0x88:
            if (auto it = tables_.find(type); it != tables_.end()) return it->second;
            return std::vector<std::uint8_t>{0x00, 0x04, 0x00, 0x00};
        case 0x8A: return analog_gain_record();
        case 0x8C: {
            std::vector<std::uint8_t> d;
            put_be(d, white_balance_exposure(qualifier), 4);
            return d;
        }
        case 0x8D:
            if (auto it = tables_.find(type); it != tables_.end()) return it->second;
            return setup_record(values_, qualifier);
        case 0x8E: return perforation_record(readings());
        case 0x8F: {
            if (auto it = tables_.find(type); it != tables_.end()) return it->second;
            std::vector<protocol::data::FramePosition> positions;
            for (const auto& f : film_->frames) {
                if (!loaded_ || f.density == 0) continue;
                const auto r = film::perforation_at(*film_, f.top);
                positions.push_back({f.top, r.perf_number, r.perf_decimal, r.pulse_number});
            }
            return positions_record(positions);
        }
        case 0x91: {
            auto words = ccd_record(values_);
            if (!words) return std::nullopt;
            std::vector<std::uint8_t> d;
            for (const std::uint16_t w : *words) put_be(d, w, 2);
            return d;
        }
        default: return std::nullopt;
    }
}

std::vector<protocol::data::PerforationInformation> Unit::readings() const {
    if (!loaded_ || !thumbnail_) return {};
    const auto& l = thumbnail_->layout();
    return film::perforation_readings(*film_, thumbnail_->film_y(0), l.y_pitch, l.lines);
}

std::vector<protocol::data::PerforationInformation> Unit::perforations() const {
    std::lock_guard lock(mutex_);
    return readings();
}

// READ(10) of a vendor record: the 6-byte header and the payload, cut to the allocation.
Response Unit::read_record(std::span<const std::uint8_t> cdb) {
    if (cdb.size() < 10) return bad_cdb_field();
    const std::uint8_t type = cdb[2];
    const TypeBits* bits = type_bits(type);
    if (!bits || !(values_.features.data_types >> bits->read & 1)) return bad_cdb_field();
    std::vector<std::uint8_t> payload;
    if (type == 0x87) {
        // The request being answered; none outstanding is out of sequence.
        if (!coop_record_) return out_of_sequence();
        payload = *coop_record_;
        ++coop_reads_;
    } else {
        auto p = record_payload(type, cdb[4]);
        if (!p) return bad_cdb_field();
        payload = std::move(*p);
    }
    std::vector<std::uint8_t> d{type, 0};
    put_be(d, payload.size(), 4);
    d.insert(d.end(), payload.begin(), payload.end());
    return cut(std::move(d), cdb);
}

Response Unit::send_record(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
    if (cdb.size() < 10) return bad_cdb_field();
    const std::uint8_t type = cdb[2];
    const TypeBits* bits = type_bits(type);
    if (!bits || bits->send < 0 || !(values_.features.data_types >> bits->send & 1)) return bad_cdb_field();
    if (out.size() != be(cdb, 6, 3)) return bad_length();
    if (type == 0x88) {
        // 16n + 4 bytes counting the whole table.
        if (out.size() < 4 || be(out, 0, 2) != out.size() || out[2] == 0 || std::size_t{out[2]} * 16 + 4 != out.size()) {
            return bad_param_field();
        }
    } else if (type == 0x8F) {
        // 8n + 4 bytes, the length leaving out its own two.
        if (out.size() < 4 || be(out, 0, 2) + 2 != out.size() || std::size_t{out[2]} * 8 + 4 != out.size()) return bad_param_field();
    }
    tables_[type].assign(out.begin(), out.end());
    return Response::good();
}

// SCAN: the windows named in the data-out, in that order. A metering kind makes the unit meter
// and keep the exposures it chose in its windows; any other pass renders from the film.
Response Unit::start_scan(std::span<const std::uint8_t> out) {
    std::vector<protocol::window::Window> windows;
    for (const std::uint8_t id : out) {
        const auto it = windows_.find(id);
        if (it == windows_.end()) return bad_param_field();
        auto w = protocol::window::Window::try_from(it->second);
        if (!w) return bad_param_field();
        windows.push_back(*w);
    }
    if (windows.empty()) return bad_param_field();
    const auto truncation = std::exchange(truncation_, std::nullopt);
    namespace sw = protocol::caps::set_window;
    if (windows.front().kind.intersects(sw::kind::AE | sw::kind::AE_WB)) {
        meter(windows);
        for (const auto& w : windows) windows_[w.id] = w.to_bytes();
        stream_.reset();
        scanning_ = true;
        return Response::good();
    }
    const bool thumbnail = windows.front().kind.contains(sw::kind::THUMBNAIL);
    auto stream = render::Stream::make(values_, std::move(windows), divisor_, truncation, film_);
    if (!stream) return bad_param_field();
    stream_ = std::make_shared<render::Stream>(std::move(*stream));
    pass_ = stream_;
    // The perforation counter runs along with a thumbnail pass; its readings are kept until the next one.
    if (thumbnail) thumbnail_ = stream_;
    surplus_left_ = image_faults_.surplus;
    image_reads_ = 0;
    scanning_ = true;
    warming_ = image_faults_.start_polls;
    return Response::good();
}

// The unit's own exposure pass: the brightest reading of each window's area set to nine tenths
// of full scale; with AE alone every channel keeps its start-up balance.
void Unit::meter(std::vector<protocol::window::Window>& windows) const {
    namespace sw = protocol::caps::set_window;
    const auto optical = [this](std::uint32_t v, std::uint32_t dpi) { return render::optical(v, divisor_, dpi); };
    std::vector<double> scale;
    for (const auto& w : windows) {
        const std::uint32_t x0 = optical(w.ulx, values_.address.x.optical_dpi), y0 = optical(w.uly, values_.address.y.optical_dpi);
        const std::uint32_t dx = optical(w.width, values_.address.x.optical_dpi), dy = optical(w.length, values_.address.y.optical_dpi);
        std::uint32_t brightest = 1;
        for (std::uint32_t i = 0; i < 48; ++i) {
            for (std::uint32_t j = 0; j < 48; ++j) {
                const std::uint16_t t = film_->transmittance(film::light_of(w.id), x0 + dx * i / 48, y0 + dy * j / 48);
                brightest = std::max<std::uint32_t>(brightest, t);
            }
        }
        scale.push_back(0.9 * 65535.0 * 100.0 / (static_cast<double>(brightest) * film::CLEAR_GAIN_PERCENT));
    }
    const bool balance = windows.front().kind.contains(sw::kind::AE_WB);
    const double common = *std::min_element(scale.begin(), scale.end());
    const auto& sw_caps = values_.set_window;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const double chosen = white_balance_exposure(windows[i].id) * (balance ? scale[i] : common);
        windows[i].exposure = static_cast<std::uint32_t>(
            std::clamp(chosen, static_cast<double>(sw_caps.exposure_min), static_cast<double>(sw_caps.exposure_max)));
    }
}

// READ(10) of image data: the next bytes of the pass, then whatever the unit holds beyond it.
Response Unit::read_image(std::span<const std::uint8_t> cdb) {
    if (!scanning_ || !stream_) return out_of_sequence();
    ++image_reads_;
    const auto& f = image_faults_;
    if (f.silent_at && image_reads_ >= *f.silent_at) return Response::unplugged();
    if (f.stall_at && image_reads_ >= *f.stall_at) {
        Response r;
        r.stall = f.stall;
        return r;
    }
    if (f.fail_at && image_reads_ == *f.fail_at) return Response::check(0x04, 0x44, 0x00);
    if (f.refused_at && image_reads_ >= *f.refused_at) return out_of_sequence();
    const std::size_t want = be(cdb, 6, 3);
    std::uint64_t available = stream_->total() - stream_->sent();
    if (f.end_at) available = std::min(available, *f.end_at > stream_->sent() ? *f.end_at - stream_->sent() : 0);
    if (available == 0 && surplus_left_ == 0) return out_of_sequence();
    std::vector<std::uint8_t> d(static_cast<std::size_t>(std::min<std::uint64_t>(want, available)));
    stream_->read(d);
    const bool truncated = f.end_at && stream_->sent() >= *f.end_at && stream_->sent() < stream_->total();
    if (!truncated && d.size() < want && surplus_left_ > 0) {
        const std::size_t extra = static_cast<std::size_t>(std::min<std::uint64_t>(want - d.size(), surplus_left_));
        d.insert(d.end(), extra, render::FILLER);
        surplus_left_ -= extra;
    }
    if (f.rate > 0) pace_ = std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(d.size()) * 1e9 / f.rate));
    // With all of it sent the scan is over; a unit cut short waits for ABORT.
    if (stream_->sent() == stream_->total() && surplus_left_ == 0) {
        scanning_ = false;
        stream_.reset();
    }
    if (d.size() < want && f.ili) {
        Response r = Response::check(0x00, 0x00, 0x00);
        r.ili = true;
        r.information = static_cast<std::uint32_t>(want - d.size());
        r.data_in = std::move(d);
        return r;
    }
    return Response::with_data(std::move(d));
}

void Unit::set_film(film::Film f) {
    std::lock_guard lock(mutex_);
    film_ = std::make_shared<const film::Film>(std::move(f));
    thumbnail_.reset();
}

film::Film Unit::film() const {
    std::lock_guard lock(mutex_);
    return *film_;
}

std::shared_ptr<const render::Stream> Unit::pass() const {
    std::lock_guard lock(mutex_);
    return pass_;
}

int Unit::image_reads() const {
    std::lock_guard lock(mutex_);
    return image_reads_;
}

void Unit::script_image(ImageFaults f) {
    std::lock_guard lock(mutex_);
    image_faults_ = f;
}

Response Unit::set_window(std::span<const std::uint8_t> out) {
    if (out.size() < 8) return bad_length();
    const std::size_t stride = be(out, 6, 2);
    if (stride < 50) return bad_param_field();
    for (std::size_t at = 8; at + stride <= out.size(); at += stride) {
        std::array<std::uint8_t, 50> w{};
        std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(at), 50, w.begin());
        windows_[w[0]] = w;
    }
    return Response::good();
}

Response Unit::get_window(std::span<const std::uint8_t> cdb) const {
    if (cdb.size() < 10) return bad_cdb_field();
    std::vector<std::uint8_t> d(8, 0);
    for (const auto& [id, w] : windows_) d.insert(d.end(), w.begin(), w.end());
    const std::size_t length = d.size() - 2;
    d[0] = static_cast<std::uint8_t>(length >> 8);
    d[1] = static_cast<std::uint8_t>(length);
    d[7] = 50;
    return cut(std::move(d), cdb);
}

bool Unit::offers_op(std::uint8_t code) const {
    if (code < 0x80) return false;
    return values_.features.execute_ops.words[(code >> 4) - 8] >> (code & 15) & 1;
}

// EXECUTE takes the operation and its parameters; the trigger starts it.
Response Unit::execute_op(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
    if (cdb.size() < 10) return bad_cdb_field();
    const std::uint8_t code = cdb[2];
    if (!offers_op(code)) return bad_cdb_field();
    if (out.size() != 9) return bad_length();
    const auto params = protocol::data::Operation::from_bytes(out);
    if (!params) return bad_length();
    const auto& a = values_.address;
    switch (code) {
        case op::FOCUS_MOVE:
            if (params->first < a.focus_min || params->first > a.focus_max) return bad_param_field();
            break;
        case op::AUTO_FOCUS:
        case op::COLOR_AUTO_FOCUS:
            if (params->first < a.x.origin_min || params->first > a.x.origin_max) return bad_param_field();
            if (params->second < a.y.origin_min || params->second > a.y.origin_max) return bad_param_field();
            break;
        default: break;
    }
    Pending p{code, *params, DEFAULT_POLLS, activity::MOVING};
    if (auto it = durations_.find(code); it != durations_.end()) std::tie(p.polls, p.activity) = it->second;
    armed_ = p;
    return Response::good();
}

Response Unit::trigger() {
    if (!armed_ || running_) return out_of_sequence();
    running_ = armed_;
    armed_.reset();
    return Response::good();
}

// ---- state for tests ----

void Unit::set_loaded(bool loaded) {
    std::lock_guard lock(mutex_);
    loaded_ = loaded;
}

bool Unit::loaded() const {
    std::lock_guard lock(mutex_);
    return loaded_;
}

void Unit::set_waiting(bool waiting) {
    std::lock_guard lock(mutex_);
    waiting_ = waiting;
}

bool Unit::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

void Unit::set_scanning(bool scanning) {
    std::lock_guard lock(mutex_);
    scanning_ = scanning;
}

bool Unit::scanning() const {
    std::lock_guard lock(mutex_);
    return scanning_;
}

std::optional<Initiator> Unit::reserved_by() const {
    std::lock_guard lock(mutex_);
    return reserved_by_;
}

void Unit::set_reserved_by(std::optional<Initiator> who) {
    std::lock_guard lock(mutex_);
    reserved_by_ = who;
}

std::uint16_t Unit::divisor() const {
    std::lock_guard lock(mutex_);
    return divisor_;
}

std::uint32_t Unit::focus() const {
    std::lock_guard lock(mutex_);
    return focus_;
}

void Unit::set_focus(std::uint32_t position) {
    std::lock_guard lock(mutex_);
    focus_ = position;
}

std::vector<std::array<std::uint8_t, 50>> Unit::windows() const {
    std::lock_guard lock(mutex_);
    std::vector<std::array<std::uint8_t, 50>> out;
    for (const auto& [id, w] : windows_) out.push_back(w);
    return out;
}

std::optional<std::vector<std::uint8_t>> Unit::table(std::uint8_t type) const {
    std::lock_guard lock(mutex_);
    auto it = tables_.find(type);
    if (it == tables_.end()) return std::nullopt;
    return it->second;
}

ModelValues Unit::values() const {
    std::lock_guard lock(mutex_);
    return values_;
}

void Unit::edit(const std::function<void(ModelValues&)>& change) {
    std::lock_guard lock(mutex_);
    change(values_);
}

// ---- scripting ----

void Unit::not_ready(std::vector<Spell> spell) {
    std::lock_guard lock(mutex_);
    for (const auto& s : spell) {
        if (s.polls > 0) spell_.push_back(s);
    }
}

void Unit::attention(int count, std::uint8_t asc, std::uint8_t ascq) {
    std::lock_guard lock(mutex_);
    attentions_left_ = count;
    attention_code_ = {asc, ascq};
}

int Unit::attentions_raised() const {
    std::lock_guard lock(mutex_);
    return attentions_raised_;
}

void Unit::cooperate(std::uint8_t opcode, std::vector<std::uint8_t> record, int times) {
    std::lock_guard lock(mutex_);
    coops_.push_back(Coop{opcode, std::move(record), times});
}

int Unit::cooperation_reads() const {
    std::lock_guard lock(mutex_);
    return coop_reads_;
}

void Unit::refuse(std::uint8_t opcode, Refusal how, int times) {
    std::lock_guard lock(mutex_);
    const Response answer = how == Refusal::Opcode ? unknown_opcode() : how == Refusal::Sequence ? out_of_sequence() : bad_cdb_field();
    refusals_[opcode] = Scripted{times, answer};
}

void Unit::fail(std::uint8_t opcode, int times, std::array<std::uint8_t, 3> sense) {
    std::lock_guard lock(mutex_);
    failures_[opcode] = Scripted{times, Response::check(sense[0], sense[1], sense[2])};
}

void Unit::adjust(std::uint8_t opcode, int times, std::uint8_t asc, std::uint8_t ascq) {
    std::lock_guard lock(mutex_);
    adjustments_[opcode] = Scripted{times, Response::check(0x01, asc, ascq)};
}

void Unit::takes(std::uint8_t op, int polls, std::uint8_t activity) {
    std::lock_guard lock(mutex_);
    durations_[op] = {polls, activity};
}

bool Unit::focus_found() const {
    std::lock_guard lock(mutex_);
    return focus_found_;
}

void Unit::set_focus_found(bool found) {
    std::lock_guard lock(mutex_);
    focus_found_ = found;
}

void Unit::set_page(std::uint8_t code, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    pages_[code] = std::move(bytes);
}

void Unit::set_record(std::uint8_t type, std::vector<std::uint8_t> payload) {
    std::lock_guard lock(mutex_);
    records_[type] = std::move(payload);
}

void Unit::unplug(std::optional<std::uint8_t> at_opcode) {
    std::lock_guard lock(mutex_);
    if (at_opcode) {
        unplug_at_ = at_opcode;
    } else {
        unplugged_ = true;
    }
}

bool Unit::unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
}

void Unit::stall(std::uint8_t opcode, Stall how, int times) {
    std::lock_guard lock(mutex_);
    stalls_[opcode] = {how, times};
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
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& l : log_) out.push_back(l.cdb);
    return out;
}

std::vector<Logged> Unit::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::expected<transport::Reply, transport::Error> LocalTransport::execute(std::span<const std::uint8_t> cdb,
                                                                          transport::Data data, transport::Duration timeout) {
    std::span<const std::uint8_t> out;
    if (const auto* o = std::get_if<transport::Data::Out>(&data.value)) out = o->buffer;
    const Response r = unit_->execute(cdb, out, initiator_);
    if (r.stall != Stall::None) {
        // Nothing comes back: the command ends only when its owner stops it, or at its time-out.
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!stopping()) {
            if (std::chrono::steady_clock::now() >= until) return std::unexpected(transport::Error::timeout(timeout));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return std::unexpected(transport::Error::interrupted());
    }
    if (r.gone) return std::unexpected(transport::Error::io(transport::IoKind::NotConnected, "the unit was unplugged"));
    std::size_t transferred = out.size();
    if (const auto* in = std::get_if<transport::Data::In>(&data.value)) {
        transferred = std::min(in->buffer.size(), r.data_in.size());
        std::copy_n(r.data_in.begin(), transferred, in->buffer.begin());
    }
    // The reply as a USB unit's status block carries it.
    const std::array<std::uint8_t, 8> block{r.status, r.key, r.asc, r.ascq, r.fourth, 0, 0, 0};
    auto reply = transport::reply_from_status_block(block, transferred);
    if (r.ili && reply.sense) {
        reply.sense->ili = true;
        reply.sense->information = r.information;
    }
    return reply;
}

}  // namespace vexlor::emulator
