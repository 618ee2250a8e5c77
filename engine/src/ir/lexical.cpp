#include "ir/lexical.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace ir::lex {

namespace {

// The UTF-8 forms of the White_Space code points above U+007F.
constexpr std::string_view kWide[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

bool ascii_ws(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::size_t ws_len_front(std::string_view s) {
    if (s.empty()) return 0;
    const auto c = static_cast<unsigned char>(s.front());
    if (c < 0x80) return ascii_ws(s.front()) ? 1 : 0;
    if (c != 0xC2 && (c < 0xE1 || c > 0xE3)) return 0;
    for (std::string_view w : kWide)
        if (s.starts_with(w)) return w.size();
    return 0;
}

std::size_t ws_len_back(std::string_view s) {
    if (s.empty()) return 0;
    const auto c = static_cast<unsigned char>(s.back());
    if (c < 0x80) return ascii_ws(s.back()) ? 1 : 0;
    for (std::string_view w : kWide)
        if (s.ends_with(w)) return w.size();
    return 0;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t p = s.find(sep, start);
        if (p == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, p - start));
        start = p + 1;
    }
}

std::string_view trim(std::string_view s) {
    while (std::size_t n = ws_len_front(s)) s.remove_prefix(n);
    while (std::size_t n = ws_len_back(s)) s.remove_suffix(n);
    return s;
}

std::string_view first_word(std::string_view s) {
    while (std::size_t n = ws_len_front(s)) s.remove_prefix(n);
    std::size_t i = 0;
    // A White_Space character starts with a byte that never occurs inside another UTF-8
    // character, so scanning byte by byte cannot split one.
    while (i < s.size() && ws_len_front(s.substr(i)) == 0) ++i;
    return s.substr(0, i);
}

static int digit_value(char c, unsigned radix) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'z') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z') d = c - 'A' + 10;
    else return -1;
    return d < static_cast<int>(radix) ? d : -1;
}

const char* parse_unsigned(std::string_view s, uint64_t max, uint64_t& out, unsigned radix) {
    if (s.empty()) return kIntEmpty;
    if (s.front() == '+') {
        s.remove_prefix(1);
        if (s.empty()) return kIntInvalid;
    }
    uint64_t v = 0;
    for (char c : s) {
        const int d = digit_value(c, radix);
        if (d < 0) return kIntInvalid;
        if (static_cast<uint64_t>(d) > max || v > (max - static_cast<uint64_t>(d)) / radix)
            return kIntTooLarge;
        v = v * radix + static_cast<uint64_t>(d);
    }
    out = v;
    return nullptr;
}

const char* parse_i64(std::string_view s, int64_t& out) {
    if (s.empty()) return kIntEmpty;
    bool neg = false;
    if (s.front() == '+' || s.front() == '-') {
        neg = s.front() == '-';
        s.remove_prefix(1);
        if (s.empty()) return kIntInvalid;
    }
    // The magnitude is gathered unsigned: the most negative value has no positive twin.
    const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t v = 0;
    for (char c : s) {
        const int d = digit_value(c, 10);
        if (d < 0) return kIntInvalid;
        if (v > (limit - static_cast<uint64_t>(d)) / 10) return neg ? kIntTooSmall : kIntTooLarge;
        v = v * 10 + static_cast<uint64_t>(d);
    }
    out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return nullptr;
}

static bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

const char* parse_f64(std::string_view s, double& out) {
    if (s.empty()) return kFloatEmpty;
    bool neg = false;
    std::string_view body = s;
    if (body.front() == '+' || body.front() == '-') {
        neg = body.front() == '-';
        body.remove_prefix(1);
    }
    const double sign = neg ? -1.0 : 1.0;
    if (iequals(body, "inf") || iequals(body, "infinity")) {
        out = sign * HUGE_VAL;
        return nullptr;
    }
    if (iequals(body, "nan")) {
        out = std::copysign(std::nan(""), sign);
        return nullptr;
    }

    // Check the grammar first: from_chars alone would accept forms outside it.
    std::size_t i = 0;
    const auto is_digit = [&](std::size_t k) { return k < body.size() && body[k] >= '0' && body[k] <= '9'; };
    std::size_t int_digits = 0, frac_digits = 0;
    // Decimal exponent of the first nonzero mantissa digit, to tell overflow from underflow.
    long long lead = 0;
    bool seen_nonzero = false;
    while (is_digit(i)) {
        if (seen_nonzero) ++lead;
        else if (body[i] != '0') seen_nonzero = true;
        ++i;
        ++int_digits;
    }
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (is_digit(i)) {
            if (!seen_nonzero) {
                --lead;
                if (body[i] != '0') seen_nonzero = true;
            }
            ++i;
            ++frac_digits;
        }
    }
    if (int_digits + frac_digits == 0) return kFloatInvalid;
    long long exp = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            eneg = body[i] == '-';
            ++i;
        }
        if (!is_digit(i)) return kFloatInvalid;
        while (is_digit(i)) {
            if (exp < 1000000000) exp = exp * 10 + (body[i] - '0');  // saturates far past any double
            ++i;
        }
        if (eneg) exp = -exp;
    }
    if (i != body.size()) return kFloatInvalid;

    double v = 0.0;
    const auto r = std::from_chars(body.data(), body.data() + body.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        v = lead + exp > 0 ? HUGE_VAL : 0.0;
    } else if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
        return kFloatInvalid;
    }
    out = sign * v;
    return nullptr;
}

}  // namespace ir::lex
