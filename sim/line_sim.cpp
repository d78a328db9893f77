#include "sim/line_sim.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

uint8_t checksum(const uint8_t* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

std::vector<uint8_t> make_frame(uint8_t address, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 3);
    f.push_back(address);
    f.push_back(static_cast<uint8_t>(payload.size() + 3));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(checksum(f.data(), f.size()));
    return f;
}

std::vector<uint8_t> make_frame(uint8_t address, const std::string& payload) {
    return make_frame(address, std::vector<uint8_t>(payload.begin(), payload.end()));
}

std::string to_hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::vector<uint8_t> ReceivedFrame::payload() const {
    if (bytes.size() < 3) return {};
    return std::vector<uint8_t>(bytes.begin() + 2, bytes.end() - 1);
}

namespace {

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

template <size_t N>
void copy_out(std::array<uint8_t, N>& dst, const std::vector<uint8_t>& src, size_t at) {
    for (size_t i = 0; i < N; ++i) dst[i] = at + i < src.size() ? src[at + i] : 0;
}

void append_record(std::vector<uint8_t>& out, char letter, uint16_t number,
                   const std::array<uint8_t, 8>& ident, uint8_t flag,
                   const std::array<uint8_t, 14>& days, const std::array<uint8_t, 5>& dt,
                   bool with_dt) {
    out.push_back(static_cast<uint8_t>(letter));
    out.push_back(static_cast<uint8_t>(number >> 8));
    out.push_back(static_cast<uint8_t>(number & 0xFF));
    for (uint8_t b : ident_bytes(ident)) out.push_back(b);
    out.push_back(flag);
    out.insert(out.end(), days.begin(), days.end());
    if (with_dt) out.insert(out.end(), dt.begin(), dt.end());
    out.push_back(0);
    out.push_back(0);
}

}  // namespace

std::array<uint8_t, 4> ident_bytes(const std::array<uint8_t, 8>& ident) {
    std::array<uint8_t, 4> out{};
    bool all_hex = std::all_of(ident.begin(), ident.end(), [](uint8_t c) { return hex_value(c) >= 0; });
    for (size_t i = 0; i < 4; ++i)
        out[i] = all_hex ? static_cast<uint8_t>(hex_value(ident[2 * i]) * 16 + hex_value(ident[2 * i + 1]))
                         : ident[i];
    return out;
}

// ---- Terminal ----

std::vector<uint8_t> Terminal::diner_block() const {
    std::vector<uint8_t> out;
    for (const auto& [number, d] : diners_) {
        if (d.has_first)
            append_record(out, d.letter, number, d.ident, d.flag, d.days, d.dt, cfg_.dt);
        if (d.second_letter)
            append_record(out, d.second_letter, number, d.second_ident, d.second_flag, d.second_days,
                          d.dt, cfg_.dt);
    }
    return out;
}

std::vector<uint8_t> Terminal::status_block() const {
    std::vector<uint8_t> out(27, 0);
    out[0] = 'S';
    out[1] = cfg_.address;
    out[2] = static_cast<uint8_t>(diners_.size() >> 8);
    out[3] = static_cast<uint8_t>(diners_.size() & 0xFF);
    out[4] = static_cast<uint8_t>(acknowledged_ >> 8);
    out[5] = static_cast<uint8_t>(acknowledged_ & 0xFF);
    out[6] = cfg_.dt ? 1 : 0;
    for (size_t i = 0; i < 16; ++i)
        out[9 + i] = i < cfg_.status_text.size() ? static_cast<uint8_t>(cfg_.status_text[i]) : ' ';
    return out;
}

std::optional<std::vector<uint8_t>> Terminal::execute(const std::vector<uint8_t>& p) {
    if (p.empty()) return std::nullopt;
    const char letter = static_cast<char>(p[0]);
    switch (letter) {
    case 'Y':
    case 'P':
        return diner_block();
    case 'S':
        return status_block();
    case 'X':
    case 'R':
    case 'q':
    case 'r': {
        if (p.size() < 40) return std::nullopt;  // not a diner payload; nothing to keep
        const uint16_t number = static_cast<uint16_t>(p[1] << 8 | p[2]);
        auto [it, fresh] = diners_.try_emplace(number);
        Diner& d = it->second;
        d.number = number;
        if (letter == 'X' || letter == 'R') {
            d.letter = letter == 'X' ? 'Z' : 'R';
            d.has_first = true;
            copy_out(d.ident, p, 3);
            d.flag = p[11];
            copy_out(d.days, p, 12);
            copy_out(d.name, p, 26);
            d.has_credit = letter == 'X' && p.size() >= 43;
            if (d.has_credit) copy_out(d.credit, p, 40);
        } else {
            if (fresh) d.has_first = false;
            d.second_letter = letter;
            copy_out(d.second_ident, p, 3);
            d.second_flag = p[11];
            copy_out(d.second_days, p, 12);
            copy_out(d.second_name, p, 26);
        }
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool Terminal::has_fault(FaultKind k) const {
    return std::any_of(faults_.begin(), faults_.end(),
                       [k](const Fault& f) { return f.kind == k && f.count != 0; });
}

bool Terminal::take_fault(FaultKind k, int* amount) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != k || it->count == 0) continue;
        if (amount) *amount = it->amount;
        if (it->count > 0 && --it->count == 0) faults_.erase(it);
        return true;
    }
    return false;
}

// ---- LineSim ----

LineSim::LineSim(uint32_t baud) { set_baud(baud); }

void LineSim::set_baud(uint32_t baud) {
    if (baud == 0) throw std::invalid_argument("baud rate 0");
    baud_ = baud;
    byte_us_ = (10'000'000ull + baud / 2) / baud;
}

Terminal& LineSim::add_terminal(const TerminalConfig& cfg) {
    if (terminals_.size() >= 4) throw std::invalid_argument("a line carries at most four terminals");
    if (terminal(cfg.address)) throw std::invalid_argument("two terminals at one address");
    terminals_.push_back(std::make_unique<Terminal>(cfg));
    return *terminals_.back();
}

Terminal& LineSim::add_terminal(uint8_t address) {
    TerminalConfig cfg;
    cfg.address = address;
    return add_terminal(cfg);
}

Terminal* LineSim::terminal(uint8_t address) {
    for (auto& t : terminals_)
        if (t->address() == address) return t.get();
    return nullptr;
}

void LineSim::set_master(uint32_t period_ms, uint64_t first_poll_us, uint64_t holdoff_us) {
    master_ = true;
    period_us_ = uint64_t(std::max<uint32_t>(period_ms, 1)) * 1000;
    next_poll_us_ = std::max(first_poll_us, seen_until_);
    holdoff_us_ = holdoff_us;
}

std::vector<SentAnswer> LineSim::sent_of(AnswerKind k) const {
    std::vector<SentAnswer> out;
    for (const auto& s : sent_)
        if (s.kind == k) out.push_back(s);
    return out;
}

void LineSim::reserve_line(uint64_t until_us) { router_busy_until_ = std::max(router_busy_until_, until_us); }

void LineSim::router_byte(uint8_t b, uint64_t start_us, bool rts_high) {
    const uint64_t end = start_us + byte_us_;
    seen_until_ = std::max(seen_until_, start_us);
    router_busy_until_ = std::max(router_busy_until_, end);
    if (echo_) pending_.emplace(end, b);
    if (in_frame_ && start_us > partial_.end_us + frame_gap_us_) finish_frame(false);
    if (!in_frame_) {
        partial_ = ReceivedFrame{};
        partial_.start_us = start_us;
        in_frame_ = true;
    }
    partial_.bytes.push_back(b);
    partial_.end_us = end;
    partial_.rts_high = partial_.rts_high && rts_high;
    const size_t n = partial_.bytes.size();
    if (n < 2) return;
    const size_t want = partial_.bytes[1];
    if (want < 3)
        finish_frame(false);  // a length that cannot be a frame
    else if (n == want)
        finish_frame(true);
}

void LineSim::finish_frame(bool complete) {
    ReceivedFrame f = std::move(partial_);
    partial_ = ReceivedFrame{};
    in_frame_ = false;
    f.complete = complete;
    f.checksum_ok = complete && checksum(f.bytes.data(), f.bytes.size() - 1) == f.bytes.back();
    frames_.push_back(f);
    if (!f.checksum_ok || (require_rts_ && !f.rts_high)) return;
    if (Terminal* t = terminal(f.address())) answer(*t, frames_.back());
}

uint64_t LineSim::transmit(uint8_t address, AnswerKind kind, const std::vector<uint8_t>& bytes,
                           uint64_t start) {
    start = std::max(start, tx_free_at_);
    for (size_t i = 0; i < bytes.size(); ++i) pending_.emplace(start + (i + 1) * byte_us_, bytes[i]);
    const uint64_t end = start + bytes.size() * byte_us_;
    tx_free_at_ = end;
    answer_busy_until_ = std::max(answer_busy_until_, end);
    sent_.push_back(SentAnswer{address, kind, bytes, start, end});
    return end;
}

void LineSim::answer(Terminal& t, const ReceivedFrame& f) {
    TerminalEvent ev;
    ev.payload = f.payload();
    ev.end_us = f.end_us;
    const uint8_t addr = t.address();
    if (t.has_fault(FaultKind::Dead) || t.take_fault(FaultKind::NoAck)) {
        t.received_.push_back(ev);
        return;
    }
    const uint64_t ack_at = f.end_us + t.cfg_.ack_delay_us;
    if (t.take_fault(FaultKind::Refuse)) {
        ev.refused = true;
        t.received_.push_back(ev);
        transmit(addr, AnswerKind::Refusal, {NAK}, ack_at);
        return;
    }
    ev.answered = true;
    t.received_.push_back(ev);
    ++t.acknowledged_;

    std::optional<std::vector<uint8_t>> block = t.execute(ev.payload);
    if (block) {
        const char letter = static_cast<char>(ev.payload[0]);
        if (t.next_block_) {
            block = std::move(*t.next_block_);
            t.next_block_.reset();
        } else if (auto it = t.blocks_.find(letter); it != t.blocks_.end()) {
            block = it->second;
        } else if (auto any = t.blocks_.find(0); any != t.blocks_.end()) {
            block = any->second;
        }
    }

    bool lose_ack = false;
    if (block && !block->empty()) {
        int amount = 0;
        if (t.take_fault(FaultKind::WrongLength, &amount)) {
            if (amount == 0) amount = -1;
            if (amount < 0)
                block->resize(block->size() - std::min<size_t>(block->size(), size_t(-amount)));
            else
                block->resize(block->size() + size_t(amount), 0);
        }
        if (!block->empty() && t.take_fault(FaultKind::LoseBytes, &amount)) {
            const size_t n = std::min<size_t>(block->size(), amount > 0 ? size_t(amount) : 1);
            const size_t at = std::min(block->size() / 2, block->size() - n);
            block->erase(block->begin() + at, block->begin() + at + n);
        }
        if (t.take_fault(FaultKind::PollInBlock, &amount)) {
            const size_t at = amount > 0 ? std::min<size_t>(size_t(amount), block->size()) : block->size() / 2;
            block->insert(block->begin() + at, POLL_FRAME.begin(), POLL_FRAME.end());
        }
        if (t.take_fault(FaultKind::Noise, &amount)) block->insert(block->begin(), size_t(amount > 0 ? amount : 1), 0x00);
    } else {
        lose_ack = t.take_fault(FaultKind::LoseBytes);
    }

    if (t.take_fault(FaultKind::LoseAck)) lose_ack = true;
    uint64_t end = ack_at;
    if (!lose_ack) end = transmit(addr, AnswerKind::Ack, {ACK}, ack_at);
    if (block && !block->empty()) {
        end = transmit(addr, AnswerKind::Block, *block, end + t.cfg_.block_delay_us);
        if (master_) answer_busy_until_ = std::max(answer_busy_until_, end + holdoff_us_);
    }
}

bool LineSim::line_busy(uint64_t t) const {
    if (t < router_busy_until_ || t < answer_busy_until_) return true;
    return in_frame_ && t < partial_.end_us + frame_gap_us_;
}

void LineSim::run_poll_slot() {
    const uint64_t at = next_poll_us_;
    next_poll_us_ += period_us_;
    seen_until_ = std::max(seen_until_, at);
    if (line_busy(at)) return;
    transmit(POLL_FRAME[0], AnswerKind::Poll, std::vector<uint8_t>(POLL_FRAME.begin(), POLL_FRAME.end()), at);
}

void LineSim::advance_to(uint64_t t) {
    while (master_ && next_poll_us_ <= t) run_poll_slot();
    if (in_frame_ && t > partial_.end_us + frame_gap_us_) finish_frame(false);
    seen_until_ = std::max(seen_until_, t);
}

std::optional<uint64_t> LineSim::next_arrival_us(uint64_t limit) {
    while (master_ && next_poll_us_ <= limit &&
           (pending_.empty() || next_poll_us_ < pending_.begin()->first))
        run_poll_slot();
    if (pending_.empty()) return std::nullopt;
    return pending_.begin()->first;
}

std::vector<uint8_t> LineSim::take_arrived(uint64_t now) {
    advance_to(now);
    std::vector<uint8_t> out;
    while (!pending_.empty() && pending_.begin()->first <= now) {
        out.push_back(pending_.begin()->second);
        pending_.erase(pending_.begin());
    }
    return out;
}

}  // namespace sim
