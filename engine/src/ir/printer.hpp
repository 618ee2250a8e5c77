// The stable text form of an IR graph: a header line, one line per operation, a closing line.
#pragma once
#include <string>

#include "ir/graph.hpp"

namespace ir {

// Shortest decimal text that reads back as the same double, laid out without an exponent;
// integral values carry no decimal point. "-0", "NaN", "inf" and "-inf" for the special values.
std::string format_f64(double x);

// The text of a constant's value: the float form, decimal integers, or "[a, b, ...]".
std::string const_value_text(const ConstValue& v);

// Never fails: any graph prints, verified or not.
std::string print(const ScGraph& g);

}  // namespace ir
