"""Deterministic float32 kernels for NumPy arrays."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "matmul_kernel",
    "conv2d",
    "relu",
    "softmax",
    "quantize_int8",
    "dequantize_int8",
]

def matmul_kernel(
    a: npt.NDArray[np.float32], b: npt.NDArray[np.float32]
) -> npt.NDArray[np.float32]:
    """Matrix multiplication kernel.

    Computes the matrix multiplication of two 2D arrays."""

def conv2d(
    input: npt.NDArray[np.float32],
    kernel: npt.NDArray[np.float32],
    stride: SupportsIndex,
) -> npt.NDArray[np.float32]:
    """2D convolution kernel.

    Computes the 2D convolution of an input tensor with a kernel."""

def relu(x: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """ReLU activation function.

    Applies the rectified linear unit function element-wise: max(0, x)"""

def softmax(x: npt.NDArray[np.float32], axis: SupportsIndex) -> npt.NDArray[np.float32]:
    """Softmax activation function.

    Applies the softmax function along the specified axis."""

def quantize_int8(x: npt.NDArray[np.float32]) -> tuple[npt.NDArray[np.int8], float]:
    """Quantize a matrix to INT8.

    Quantizes a floating-point matrix to INT8 format."""

def dequantize_int8(
    x: npt.NDArray[np.int8], scale: SupportsFloat | SupportsIndex
) -> npt.NDArray[np.float32]:
    """Dequantize an INT8 matrix.

    Dequantizes an INT8 matrix back to floating point."""
