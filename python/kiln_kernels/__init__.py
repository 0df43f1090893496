"""Deterministic float32 kernels for NumPy arrays.

The six in-memory functions are those of the extension module
`_kiln_kernels`, re-exported here unchanged. `kiln_kernels.dask` offers the
same six functions on Dask arrays, with the same bits on any scheduler and
any chunking; it needs the optional dependencies of
`pip install kiln-kernels[dask]` and is imported only when asked for, so
importing this package imports neither Dask nor NumPy.
"""
from _kiln_kernels import (
    conv2d,
    dequantize_int8,
    matmul_kernel,
    quantize_int8,
    relu,
    softmax,
)

__all__ = ["matmul_kernel", "conv2d", "relu", "softmax", "quantize_int8", "dequantize_int8"]
