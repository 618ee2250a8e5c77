// Text pieces shared by the IR readers: Unicode white space, and the integer and float forms
// with their standard failure messages.
#pragma once
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace ir::lex {

// Byte length of the Unicode White_Space character that starts s, or 0 when none does.
std::size_t ws_len_front(std::string_view s);
// Byte length of the Unicode White_Space character that ends s, or 0 when none does.
std::size_t ws_len_back(std::string_view s);

// The pieces between every occurrence of sep (one piece when sep does not occur).
std::vector<std::string_view> split(std::string_view s, char sep);

// Removes Unicode White_Space at both ends.
std::string_view trim(std::string_view s);

// The first word of s split at runs of Unicode White_Space; empty when s is blank.
std::string_view first_word(std::string_view s);

inline constexpr const char* kIntEmpty = "cannot parse integer from empty string";
inline constexpr const char* kIntInvalid = "invalid digit found in string";
inline constexpr const char* kIntTooLarge = "number too large to fit in target type";
inline constexpr const char* kIntTooSmall = "number too small to fit in target type";
inline constexpr const char* kFloatEmpty = "cannot parse float from empty string";
inline constexpr const char* kFloatInvalid = "invalid float literal";

// Each returns nullptr on success (writing out), else the standard message of the failure.

// An optional "+" then digits of the radix (10 or 16); the value must not exceed max.
const char* parse_unsigned(std::string_view s, uint64_t max, uint64_t& out, unsigned radix = 10);

// An optional "+" or "-" then decimal digits.
const char* parse_i64(std::string_view s, int64_t& out);

// An optional sign, then digits with an optional fraction and exponent ("1", "1.", ".5",
// "2.5e-3"), or inf, infinity or nan in any case. Magnitudes beyond the double range read as
// infinity, those below it as zero.
const char* parse_f64(std::string_view s, double& out);

template <class T>
const char* parse_uint(std::string_view s, T& out, unsigned radix = 10) {
    uint64_t v = 0;
    const char* e = parse_unsigned(s, std::numeric_limits<T>::max(), v, radix);
    if (!e) out = static_cast<T>(v);
    return e;
}

}  // namespace ir::lex
