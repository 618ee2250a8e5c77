// Phi*: integrated information of a multivariate series under a Gaussian model — the mutual
// information between past and present at lag tau, less the smallest sum of the same
// information over the contiguous cuts of the variables, floored at 0.
#pragma once
#include <cstddef>
#include <span>

namespace phi {

// Phi* of `rows` variables over `cols` samples at lag tau. Element [i, t] is the double stored
// at (const char*)data + i * row_stride + t * col_stride; strides are in bytes and may be
// negative, and elements need not be aligned, so any 2-D float64 view can be read in place.
// Every layout of the same elements gives the same bits. 0.0 for fewer than two rows or when
// 2 * tau >= cols.
double phi_star(const void* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                std::ptrdiff_t col_stride, std::size_t tau);

// Determinant of the row-major n x n matrix m (m.size() >= n * n): closed forms up to 2 x 2,
// else Gaussian elimination with partial pivoting that gives 0.0 as soon as a column's
// largest remaining magnitude is below 1e-300.
double determinant(std::span<const double> m, std::size_t n);

}  // namespace phi
