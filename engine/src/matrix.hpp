// Row-major matrices as flat buffers.
#pragma once
#include <cstddef>
#include <vector>

#include "error.hpp"

namespace matrix {

// Splits a row-major flat buffer into rows of cols values (cols = 0 gives rows empty rows).
inline std::vector<std::vector<double>> reshape_flat_to_rows(std::vector<double> values,
                                                             std::size_t rows, std::size_t cols) {
    const std::size_t need = engine::checked_mul(rows, cols);
    if (values.size() < need) engine::panic_index(need - 1, values.size());
    std::vector<std::vector<double>> out;
    out.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r)
        out.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(r * cols),
                         values.begin() + static_cast<std::ptrdiff_t>((r + 1) * cols));
    return out;
}

}  // namespace matrix
