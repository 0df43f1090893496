"""The six kernels on Dask arrays, bit for bit equal to the in-memory calls.

Each function takes the parameters of its `_kiln_kernels` namesake, with Dask
arrays (or NumPy arrays, which are wrapped) in place of the NumPy arrays, and
returns a Dask array. Computed on any scheduler (threads, processes, a
`distributed` cluster) and with any chunking, the result has exactly the bits
that the in-memory call on the whole array returns, because every block is
computed by the in-memory call on data that holds all its result elements
depend on:

- `relu`, `dequantize_int8`: element by element, so block by block.
- `softmax`: every lane is summed whole and in order, so the reduced axis is
  first rechunked into one chunk.
- `matmul_kernel`: every result element sums over the whole inner dimension
  in order, so `a` is rechunked to whole rows and `b` to whole columns and
  each result block is one `matmul_kernel` call.
- `conv2d`: images are independent, so only the batch stays split.
- `quantize_int8`: the largest magnitude is reduced over all blocks first
  (computed at once, on the current scheduler), then every block is quantized
  with that one scale.

Wrong dtypes and dimensionality raise the exceptions of the in-memory call,
with the same texts, when the graph is built: each function first runs the
in-memory function on empty (or memory-free, zero-stride) stand-ins with the
dtypes and shapes of its arguments.

Needs `dask[array]` (and `distributed` for a cluster):
`pip install kiln-kernels[dask]`.
"""
from __future__ import annotations

import math
import operator

try:
    import dask.array as da
    import numpy as np
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "kiln_kernels.dask needs Dask: pip install kiln-kernels[dask]"
    ) from exc

import _kiln_kernels as _kk

__all__ = ["matmul_kernel", "conv2d", "relu", "softmax", "quantize_int8", "dequantize_int8"]

_F32 = np.float32


# --- arguments ---------------------------------------------------------------

def _as_dask(obj):
    """A Dask array for a Dask or NumPy array; None for anything else, which
    the in-memory function then refuses with its own TypeError."""
    if isinstance(obj, da.Array):
        return obj
    if isinstance(obj, np.ndarray):
        return da.from_array(obj)
    return None


def _stand_in(obj, arr):
    """An empty NumPy array with the dtype and number of dimensions of `arr`
    (the original object when it is no array), for the in-memory checks."""
    if arr is None:
        return obj
    return np.empty((0,) * arr.ndim, arr.dtype)


def _known_shape(arr):
    if any(isinstance(n, float) and math.isnan(n) for n in arr.shape):
        raise ValueError(
            "the array's chunk sizes are unknown; call compute_chunk_sizes() on it first")
    return arr.shape


def _zeros_view(shape):
    """A float32 array of `shape` that takes no memory (all strides 0)."""
    return np.broadcast_to(_F32(0), shape)


def _meta(ndim, dtype=_F32):
    return np.empty((0,) * ndim, dtype)


# --- block functions (run on the workers) -------------------------------------

def _relu_block(block):
    # relu reads its input as one flat row-major run; a block cut out of a
    # wider array is not one, so it is copied first (the values are the same).
    return _kk.relu(np.ascontiguousarray(block))


def _softmax_block(block, axis):
    return _kk.softmax(block, axis)


def _only_block(blocks):
    """The one block of an axis that was rechunked into one chunk. Blockwise
    hands blocks along such a (summed-over) axis as nested lists; taking the
    block out of them, rather than letting Dask concatenate the lists, spares
    a copy of every block."""
    while isinstance(blocks, (list, tuple)):
        if len(blocks) != 1:
            raise ValueError(f"expected one block along a rechunked axis, got {len(blocks)}")
        blocks = blocks[0]
    return blocks


def _matmul_block(a, b):
    return _kk.matmul_kernel(_only_block(a), _only_block(b))


def _conv2d_block(images, kernel, stride):
    return _kk.conv2d(_only_block(images), _only_block(kernel), stride)


def _max_magnitude_block(block, axis=None, keepdims=False):
    """The largest non-NaN magnitude of the block (+infinity included), or 0.0
    when there is none: the kernel's own maximum, which never takes a NaN."""
    flat = np.abs(np.asarray(block, _F32).reshape(-1))
    m = np.fmax.reduce(flat, initial=_F32(0))
    return np.full((1,) * block.ndim if keepdims else (), m, _F32)


def _max_block(parts, axis=None, keepdims=False):
    # The parts are maxima of blocks: never NaN, never negative.
    return np.max(parts, axis=axis, keepdims=keepdims).astype(_F32)


def _quantize_block(block, magnitude, scale):
    """Quantizes the block with the scale of the whole array by the kernel
    itself: the block is quantized together with one more element whose
    magnitude is the whole array's largest, so the kernel finds the global
    maximum, hence the global scale and reciprocal, and applies its own
    element rule to every value."""
    flat = np.empty(block.size + 1, _F32)
    flat[:-1] = np.asarray(block).reshape(-1)
    flat[-1] = magnitude
    q, block_scale = _kk.quantize_int8(flat.reshape(1, -1))
    if block_scale != scale:  # the kernel's maximum is not the one reduced here
        raise RuntimeError(f"block scale {block_scale!r} differs from the array's {scale!r}")
    return q[0, :-1].reshape(block.shape)


def _dequantize_block(block, scale):
    return _kk.dequantize_int8(block, scale)


# --- the six functions ---------------------------------------------------------

def relu(x):
    """`relu` on a 2-D float32 Dask array, block by block."""
    xa = _as_dask(x)
    _kk.relu(_stand_in(x, xa))
    return xa.map_blocks(_relu_block, dtype=_F32, meta=_meta(2))


def softmax(x, axis):
    """`softmax` on a 2-D float32 Dask array. The axis of the lanes (columns
    for axis 0 or -2, rows otherwise) is rechunked into one chunk, so every
    lane must fit one block."""
    xa = _as_dask(x)
    _kk.softmax(_stand_in(x, xa), axis)
    a = operator.index(axis)
    lanes = 0 if (a + 2 if a < 0 else a) == 0 else 1
    xa = xa.rechunk({lanes: -1})
    return xa.map_blocks(_softmax_block, lanes, dtype=_F32, meta=_meta(2))


def matmul_kernel(a, b):
    """`matmul_kernel` on two 2-D float32 Dask arrays.

    Every result element is the in-order sum over the whole inner dimension,
    so `a` is rechunked to whole rows and `b` to whole columns of the inner
    dimension: the inner dimension must fit one block (a row block of `a` and
    a column block of `b`). The result is chunked like the rows of `a` and
    the columns of `b`; each result block is one `matmul_kernel` call.
    """
    aa, ba = _as_dask(a), _as_dask(b)
    _kk.matmul_kernel(_stand_in(a, aa), _stand_in(b, ba))
    sa, sb = _known_shape(aa), _known_shape(ba)
    if sa[1] != sb[0]:
        # The in-memory call refuses the shapes before reading any element.
        _kk.matmul_kernel(_zeros_view(sa), _zeros_view(sb))
        raise ValueError(f"Incompatible shapes for matmul: {list(sa)} and {list(sb)}")
    aa = aa.rechunk({1: -1})
    ba = ba.rechunk({0: -1})
    return da.blockwise(_matmul_block, "ij", aa, "ik", ba, "kj",
                        dtype=_F32, concatenate=False, meta=_meta(2))


def conv2d(input, kernel, stride):  # noqa: A002 - the in-memory parameter name
    """`conv2d` on a 4-D float32 Dask batch (N, C, H, W) and filter bank
    (OC, C, KH, KW). Images are independent: the batch keeps its chunks, each
    image is made one block in C, H and W, and the filter bank one block."""
    xa, ka = _as_dask(input), _as_dask(kernel)
    _kk.conv2d(_stand_in(input, xa), _stand_in(kernel, ka), stride)
    # The checks that need the extents (channels, filter size, stride 0) on an
    # empty batch and a filter bank of zero strides: no element is computed.
    _, c, h, w = _known_shape(xa)
    empty = _kk.conv2d(np.empty((0, c, h, w), _F32), _zeros_view(_known_shape(ka)), stride)
    _, _, oh, ow = empty.shape
    stride = operator.index(stride)
    xa = xa.rechunk({1: -1, 2: -1, 3: -1})
    ka = ka.rechunk(-1)
    return da.blockwise(_conv2d_block, "nohw", xa, "nchw", ka, "okij", stride, None,
                        dtype=_F32, concatenate=False, adjust_chunks={"h": oh, "w": ow},
                        meta=_meta(4))


def quantize_int8(x):
    """`quantize_int8` on a 2-D float32 Dask array: returns the INT8 Dask
    array and the scale as a Python float.

    The largest magnitude over all blocks (NaN ignored, infinity included) is
    computed at once, on the current scheduler; the scale is the kernel's
    scale for it, and every block is then quantized with it by the kernel's
    own element rule.
    """
    xa = _as_dask(x)
    _kk.quantize_int8(_stand_in(x, xa))
    magnitude = da.reduction(xa, _max_magnitude_block, _max_block, dtype=_F32,
                             meta=_meta(0)).compute()
    magnitude = _F32(magnitude)
    _, scale = _kk.quantize_int8(np.full((1, 1), magnitude, _F32))
    q = xa.map_blocks(_quantize_block, magnitude, scale, dtype=np.int8, meta=_meta(2, np.int8))
    return q, scale


def dequantize_int8(x, scale):
    """`dequantize_int8` on a 2-D int8 Dask array, block by block."""
    xa = _as_dask(x)
    _kk.dequantize_int8(_stand_in(x, xa), scale)
    return xa.map_blocks(_dequantize_block, float(scale), dtype=_F32, meta=_meta(2))
