// Reads the text form of an IR graph back into a graph, stopping at the first bad line.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ir/graph.hpp"

namespace ir {

struct ParseError {
    std::string message;
    std::size_t line = 0;  // 1-based, the header being line 1; 0 when the text has no lines

    // "line {}: {}"
    std::string display() const;
};

std::variant<ScGraph, ParseError> parse(std::string_view text);

// Raises the failure as engine::Error carrying "line {}: {}".
ScGraph parse_or_throw(std::string_view text);

// A type text ("vec<fixed<16,8>,4>"), case-sensitive; the failure's message otherwise.
std::variant<ScType, std::string> parse_type(std::string_view text);

// "%N" after trimming white space and stripping commas at both ends; the failure's message
// otherwise.
std::variant<ValueId, std::string> parse_value_id(std::string_view text);

// The value after the first "key=" in text, up to a space, comma or colon; nullopt when absent.
std::optional<std::string_view> extract_kv(std::string_view text, std::string_view key);

}  // namespace ir
