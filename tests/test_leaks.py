"""Leak checks: every kernel called thousands of times on its success paths
and on each failure path. The reference counts of the argument objects (and
of the dtype and type objects a call touches) must come back unchanged, and
the resident memory must stay flat after a warm-up."""
from __future__ import annotations

import gc
import os
import sys
import time

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import FloatRaises, IndexOK, IndexRaises, panic_type

CALLS = 2000          # per case in the reference-count check
RSS_ROUNDS = 2000     # calls per case in the resident-memory check (medium arrays)
RSS_LIMIT = 8 << 20   # bytes of growth tolerated after the warm-up

rng = np.random.default_rng(7)


def f32(*shape):
    return rng.standard_normal(shape).astype(np.float32)


def i8(*shape):
    return rng.integers(-128, 128, shape, dtype=np.int8)


class Opaque:
    pass


SMALL, MED, BIG = f32(3, 4), f32(64, 64), f32(101, 100)
B4 = f32(4, 5)
X4, W4 = f32(1, 2, 5, 5), f32(3, 2, 2, 2)
X4N = f32(3, 2, 6, 6)
Q, QB = i8(3, 4), i8(101, 100)
F64, I32 = np.zeros((3, 4)), np.zeros((3, 4), np.int32)
F3D, Q3D = f32(2, 3, 4), i8(2, 3, 4)
STRIDE = 10**12 + 1       # a valid stride that is not a shared small int
SCALE = float("0.125")    # a float object of its own
AXIS = IndexOK(0)

# (id, function, args, kwargs, expected exception name or None)
CASES = [
    # success, calling-thread and pool paths
    ("matmul", kk.matmul_kernel, (SMALL, B4), {}, None),
    ("matmul-pool", kk.matmul_kernel, (f32(101, 3), f32(3, 100)), {}, None),
    ("matmul-kw", kk.matmul_kernel, (), {"b": B4, "a": SMALL}, None),
    ("conv", kk.conv2d, (X4, W4, STRIDE), {}, None),
    ("conv-pool", kk.conv2d, (X4N, W4), {"stride": 1}, None),
    ("relu", kk.relu, (SMALL,), {}, None),
    ("relu-pool", kk.relu, (BIG,), {}, None),
    ("relu-pool-gapped", kk.relu, (f32(101, 200)[:, ::2],), {}, None),
    ("softmax-axis0", kk.softmax, (SMALL, AXIS), {}, None),
    ("softmax-pool0", kk.softmax, (BIG, 0), {}, None),
    ("softmax-pool1", kk.softmax, (BIG[::-1], -1), {}, None),
    ("quantize", kk.quantize_int8, (SMALL,), {}, None),
    ("quantize-pool", kk.quantize_int8, (BIG,), {}, None),
    ("dequantize", kk.dequantize_int8, (Q, SCALE), {}, None),
    ("dequantize-pool", kk.dequantize_int8, (QB.T, SCALE), {}, None),
    # bad dtype / not an array (also after a first array was accepted)
    ("relu-f64", kk.relu, (F64,), {}, "TypeError"),
    ("relu-list", kk.relu, ([[1.0]],), {}, "TypeError"),
    ("matmul-b-f64", kk.matmul_kernel, (SMALL, F64), {}, "TypeError"),
    ("matmul-b-obj", kk.matmul_kernel, (SMALL, Opaque()), {}, "TypeError"),
    ("conv-kernel-i32", kk.conv2d, (X4, I32, 1), {}, "TypeError"),
    ("softmax-f64", kk.softmax, (F64, 0), {}, "TypeError"),
    ("quantize-i32", kk.quantize_int8, (I32,), {}, "TypeError"),
    ("dequantize-f32", kk.dequantize_int8, (SMALL, SCALE), {}, "TypeError"),
    # bad axis count and shapes
    ("relu-3d", kk.relu, (F3D,), {}, "ValueError"),
    ("matmul-3d", kk.matmul_kernel, (F3D, SMALL), {}, "ValueError"),
    ("matmul-incompatible", kk.matmul_kernel, (SMALL, SMALL), {}, "ValueError"),
    ("conv-2d", kk.conv2d, (SMALL, SMALL, 1), {}, "ValueError"),
    ("conv-channels", kk.conv2d, (X4, f32(3, 1, 2, 2), 1), {}, "ValueError"),
    ("conv-larger", kk.conv2d, (X4, f32(3, 2, 6, 6), 1), {}, "ValueError"),
    ("softmax-3d", kk.softmax, (F3D, 0), {}, "ValueError"),
    ("quantize-3d", kk.quantize_int8, (F3D,), {}, "ValueError"),
    ("dequantize-3d", kk.dequantize_int8, (Q3D, SCALE), {}, "ValueError"),
    # bad scalars (after the arrays were accepted)
    ("conv-stride-neg", kk.conv2d, (X4, W4, -1), {}, "OverflowError"),
    ("conv-stride-float", kk.conv2d, (X4, W4, 1.5), {}, "TypeError"),
    ("conv-stride-raises", kk.conv2d, (X4, W4, IndexRaises()), {}, "ValueError"),
    ("softmax-axis-huge", kk.softmax, (SMALL, 2**70), {}, "OverflowError"),
    ("softmax-axis-str", kk.softmax, (SMALL, "0"), {}, "TypeError"),
    ("dequantize-scale-str", kk.dequantize_int8, (Q, "1"), {}, "TypeError"),
    ("dequantize-scale-raises", kk.dequantize_int8, (Q, FloatRaises()), {}, "ValueError"),
    # binding
    ("relu-missing", kk.relu, (), {}, "TypeError"),
    ("relu-extra-kw", kk.relu, (SMALL,), {"y": SMALL}, "TypeError"),
    ("conv-twice", kk.conv2d, (X4, W4), {"kernel": W4, "stride": 1}, "TypeError"),
    ("softmax-too-many", kk.softmax, (SMALL, 0, 0), {}, "TypeError"),
    # internal failures, after buffers were allocated
    ("relu-transposed", kk.relu, (MED.T,), {}, "PanicException"),
    ("relu-pool-transposed", kk.relu, (f32(100, 101).T,), {}, "PanicException"),
    ("quantize-reversed", kk.quantize_int8, (MED[::-1],), {}, "PanicException"),
    ("conv-stride-zero", kk.conv2d, (X4, W4, 0), {}, "PanicException"),
]


def call(fn, args, kwargs, expected):
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        if type(exc).__name__ != expected:
            raise
        return
    assert expected is None, f"expected {expected}"


def tracked(args, kwargs):
    objs = list(args) + list(kwargs.values())
    objs += [np.dtype(np.float32), np.dtype(np.int8), np.dtype(np.float64), np.ndarray,
             panic_type(), IndexOK, Opaque]
    # arrays made by slicing keep their base alive: watch the bases too
    objs += [o.base for o in list(args) + list(kwargs.values())
             if isinstance(o, np.ndarray) and o.base is not None]
    return objs


@pytest.mark.parametrize("name, fn, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_reference_counts_unchanged(name, fn, args, kwargs, expected):
    objs = tracked(args, kwargs)
    for _ in range(20):
        call(fn, args, kwargs, expected)
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    n = CALLS if expected != "PanicException" else CALLS // 4
    for _ in range(n):
        call(fn, args, kwargs, expected)
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    diff = {repr(type(o)): (b, a) for o, b, a in zip(objs, before, after) if a != b}
    assert not diff, f"reference counts changed over {n} calls: {diff}"


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


MEDIUM = f32(64, 64)
RSS_CASES = [
    (kk.matmul_kernel, (MEDIUM, MEDIUM), None),
    (kk.conv2d, (f32(2, 2, 20, 20), f32(4, 2, 3, 3), 1), None),
    (kk.relu, (MEDIUM,), None),
    (kk.softmax, (MEDIUM, 0), None),
    (kk.quantize_int8, (MEDIUM,), None),
    (kk.dequantize_int8, (i8(64, 64), 0.5), None),
    (kk.relu, (MEDIUM.T,), "PanicException"),
    (kk.quantize_int8, (MEDIUM[:, ::-1],), "PanicException"),
    (kk.matmul_kernel, (MEDIUM, F64), "TypeError"),
    (kk.softmax, (MEDIUM, 1.0), "TypeError"),
    (kk.dequantize_int8, (i8(2, 64, 64), 1.0), "ValueError"),
]


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="AddressSanitizer's quarantine keeps freed blocks resident; "
                           "its leak detector covers this run")
def test_resident_memory_flat():
    def round_(count):
        for fn, args, expected in RSS_CASES:
            n = count if expected != "PanicException" else count // 4
            for _ in range(n):
                call(fn, args, {}, expected)
    round_(300)
    gc.collect()
    start = rss_bytes()
    round_(RSS_ROUNDS)
    gc.collect()
    growth = rss_bytes() - start
    assert growth < RSS_LIMIT, f"resident memory grew by {growth / 2**20:.1f} MiB"


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="AddressSanitizer's allocator maps and quarantines blocks its own way")
@pytest.mark.parametrize("make_call", [
    lambda: (kk.softmax, (np.ones((64, 1000), np.float32), 1)),  # 256 KB result
    lambda: (kk.matmul_kernel, (np.ones((200, 300), np.float32), np.ones((300, 400), np.float32))),
    lambda: (kk.relu, (np.ones((1500, 1000), np.float32),)),  # 6 MB result, mapped
], ids=["softmax", "matmul_kernel", "relu"])
def test_results_kept_alive_do_not_fault_memory_in_every_call(make_call):
    # The usual loop `y = kernel(x)` keeps the last result while the next is
    # made. Memory given back to the system on every call would be faulted
    # in again on the next one, a page fault per 4 KiB.
    import resource

    fn, args = make_call()
    y = fn(*args)
    for _ in range(5):
        y = fn(*args)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(200):
        y = fn(*args)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert y.shape
    # A block faulted in per call would cost 60 or more faults each time.
    assert faults < 400, f"{faults} page faults in 200 calls"


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="AddressSanitizer's allocator maps and quarantines blocks its own way")
def test_blocks_are_kept_across_a_pause_between_calls():
    # A program calling a kernel every second or so must find its blocks
    # (result and packed copies) still there, not fault them in again.
    import resource

    a = np.ones((700, 700), np.float32)
    y = kk.matmul_kernel(a, a)
    del y
    time.sleep(1.5)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    y = kk.matmul_kernel(a, a)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert y.shape == (700, 700)
    # Faulting in the result and the two copies (about 2 MB each) again
    # would take 1500 or more faults.
    assert faults < 300, f"{faults} page faults after a pause of 1.5 s"


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="AddressSanitizer's allocator maps and quarantines blocks its own way")
@pytest.mark.parametrize("rows", [100, 1500])  # a 400 KB (heap) or 6 MB (mapped) result
def test_blocks_are_reused_after_many_other_shapes(rows):
    # Blocks of shapes no longer in use must not keep the shape in use now
    # from being reused.
    import resource

    for r in range(101, 141):
        kk.relu(np.ones((r * 40, 1000), np.float32))
    x = np.ones((rows, 1000), np.float32)
    y = kk.relu(x)
    for _ in range(5):
        y = kk.relu(x)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(100):
        y = kk.relu(x)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert y.shape == (rows, 1000)
    assert faults < 200, f"{faults} page faults in 100 calls"
