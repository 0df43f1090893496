// Matrix multiplication of float32 matrices.
//
// Every result element is the plain float32 sum
//   ((...((+0.0 + a[i][0]*b[0][j]) + a[i][1]*b[1][j]) ...) + a[i][k-1]*b[k-1][j])
// with each product and each partial sum rounded to float32.
#pragma once

#include "core/array.hpp"

namespace kiln::matmul {

// The product of a 2-D view `a` (m x k) and a 2-D view `b` (k x n) into a new
// row-major m x n buffer. Python-free; may run on a pool worker.
Buffer<float> matmul_core(const View<float>& a, const View<float>& b);

// The module function: checks dimensionality and shapes, then runs the core.
Buffer<float> matmul_kernel(const View<float>& a, const View<float>& b);

}  // namespace kiln::matmul
