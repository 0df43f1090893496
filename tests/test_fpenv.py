"""Kernels give the same bits whatever flush-to-zero, denormals-are-zero or
rounding mode another library left on the calling thread, and the caller's
mode is restored on return."""
import ctypes
import platform

import numpy as np
import pytest

import _kiln_kernels as kk

pytestmark = pytest.mark.skipif(
    platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc",
    reason="sets MXCSR through glibc's fenv_t")

FTZ_DAZ = 0x8040
ROUND_TOWARD_ZERO = 0x6000


def subnormal_heavy(shape, seed):
    """Values whose products and sums land in the subnormal range."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape).astype(np.float32) * np.float32(1e-20)
    x.flat[::3] = np.float32(1e-40) * rng.standard_normal(x.size)[::3].astype(np.float32)
    return x


def calls():
    a = subnormal_heavy((60, 150), 1)  # sequential paths: the calling thread's mode matters
    b = np.random.default_rng(2).standard_normal((150, 160)).astype(np.float32) * np.float32(1e-19)
    img = subnormal_heavy((2, 3, 9, 9), 3)
    ker = np.random.default_rng(4).standard_normal((4, 3, 3, 3)).astype(np.float32) * np.float32(1e-19)
    s = subnormal_heavy((100, 90), 5) * np.float32(1e20) - np.float32(87)
    q = np.arange(-127, 128, dtype=np.int8).reshape(5, 51)
    return {
        "matmul_kernel": lambda: kk.matmul_kernel(a, b),
        "conv2d": lambda: kk.conv2d(img, ker, 1),
        "relu": lambda: kk.relu(a),
        "softmax": lambda: kk.softmax(s, 1),
        "quantize_int8": lambda: kk.quantize_int8(a)[0],
        "dequantize_int8": lambda: kk.dequantize_int8(q, 1e-41),
    }


@pytest.mark.parametrize("mode", [FTZ_DAZ, ROUND_TOWARD_ZERO, FTZ_DAZ | ROUND_TOWARD_ZERO],
                         ids=["ftz-daz", "round-toward-zero", "both"])
@pytest.mark.parametrize("name", list(calls()))
def test_bits_do_not_depend_on_callers_mode(name, mode):
    fn = calls()[name]
    expected = fn()
    libm = ctypes.CDLL("libm.so.6")
    saved = (ctypes.c_uint32 * 8)()  # fenv_t; MXCSR is its last word
    assert libm.fegetenv(saved) == 0
    hostile = (ctypes.c_uint32 * 8)(*saved)
    hostile[7] |= mode
    libm.fesetenv(hostile)
    try:
        result = fn()
        after = (ctypes.c_uint32 * 8)()
        libm.fegetenv(after)
    finally:
        libm.fesetenv(saved)
    assert after[7] & 0xFFC0 == hostile[7] & 0xFFC0  # restored for the caller
    assert expected.dtype == result.dtype
    assert np.array_equal(expected.view(np.uint8), result.view(np.uint8))
    # The inputs really exercise the subnormal range where FTZ/DAZ would bite.
    if name in ("matmul_kernel", "dequantize_int8"):
        tiny = np.abs(expected[expected != 0]).min()
        assert tiny < np.finfo(np.float32).tiny
