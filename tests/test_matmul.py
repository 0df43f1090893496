"""matmul_kernel: bit-exact sequential float32 sums, layouts, edge values,
failures, and equal bits on every instruction set and worker count."""
from __future__ import annotations

import functools
import hashlib
import json
import re
import shutil
import subprocess

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _kiln_kernels as kk
from conftest import CPU_ISAS, assert_same_bits, isa_env, run_python
from references import matmul_ref


def spread(shape, seed=0):
    """Values over many binades, so that any change in the order of the
    additions shows up in the low bits."""
    rng = np.random.default_rng(seed)
    scale = np.exp2(rng.integers(-12, 12, size=shape)).astype(np.float32)
    return (rng.standard_normal(shape, dtype=np.float32) * scale).astype(np.float32)


def operands(m, k, n, seed=0):
    return spread((m, k), seed), spread((k, n), seed + 1)


def panic_of(call):
    try:
        call()
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        assert type(exc).__name__ == "PanicException", repr(exc)
        return str(exc)
    raise AssertionError("no PanicException")


def test_reference_is_order_sensitive():
    # Guards the data used below: summing the same products in another
    # order must change some bits, or the bit-exact tests prove nothing.
    a, b = operands(40, 300, 40)
    reversed_order = matmul_ref(a[:, ::-1], b[::-1, :])
    assert not np.array_equal(matmul_ref(a, b), reversed_order)


@pytest.mark.parametrize(
    "m, k, n",
    [
        (1, 1, 1),
        (8, 8, 8),
        (3, 700, 5),  # several inner passes
        (63, 64, 65),
        (64, 64, 64),
        (65, 129, 63),
        (100, 100, 100),  # m*n = 10000: calling thread
        (73, 50, 137),  # m*n = 10001: pool
        (130, 300, 70),
        (200, 17, 129),
        (7, 513, 300),
    ],
)
def test_matches_sequential_float32_sum(m, k, n):
    a, b = operands(m, k, n, seed=m * 1000 + n)
    c = kk.matmul_kernel(a, b)
    assert c.flags.c_contiguous
    assert_same_bits(c, matmul_ref(a, b))


def _layouts(x):
    """The same logical matrix in several memory layouts."""
    wide = np.zeros((x.shape[0], 2 * x.shape[1]), np.float32)
    wide[:, ::2] = x
    tall = np.zeros((2 * x.shape[0], x.shape[1]), np.float32)
    tall[::2] = x
    return {
        "column-major": np.asfortranarray(x),
        "transposed": np.ascontiguousarray(x.T).T,
        "reversed": np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1],
        "reversed-rows": np.ascontiguousarray(x[::-1])[::-1],
        "every-second-column": wide[:, ::2],
        "every-second-row": tall[::2],
    }


@pytest.mark.parametrize("rows", ["contiguous", "wider-parent", "reversed"])
@pytest.mark.parametrize("m, k", [(8, 1), (8, 15), (16, 16), (71, 17), (24, 47), (9, 300)])
def test_row_panels_of_a_pack_every_position(rows, m, k):
    # Row-major `a` is packed in whole panels of rows, 16 positions at a
    # time where the instruction set allows and one by one after that; the
    # rows may be any distance apart, in either direction. n = 40 keeps the
    # product off the narrow path, which reads `a` in place.
    a, b = operands(m, k, 40, seed=m + k)
    if rows == "wider-parent":
        parent = spread((m, k + 9), seed=3)
        parent[:, :k] = a
        a = parent[:, :k]
    elif rows == "reversed":
        a = np.ascontiguousarray(a[::-1])[::-1]
    assert a.strides[1] == 4
    assert_same_bits(kk.matmul_kernel(a, b), matmul_ref(a, b))


@pytest.mark.parametrize("layout", list(_layouts(np.zeros((1, 1), np.float32))))
@pytest.mark.parametrize("which", ["a", "b"])
# The last shape goes to the pool in passes, each packing its own part of
# every panel of `b`.
@pytest.mark.parametrize("m, k, n", [(9, 33, 17), (90, 70, 130), (150, 300, 12), (60, 1700, 200)])
def test_layouts_read_through_strides(layout, which, m, k, n):
    a, b = operands(m, k, n, seed=7)
    expected = matmul_ref(a, b)
    if which == "a":
        a = _layouts(a)[layout]
    else:
        b = _layouts(b)[layout]
    assert_same_bits(kk.matmul_kernel(a, b), expected)


def test_zero_strides_broadcast_rows_and_columns():
    a = as_strided(np.float32([1.5, -2.25, 3.0]), shape=(70, 3), strides=(0, 4))
    b = as_strided(np.float32([0.1]), shape=(3, 150), strides=(0, 0))
    assert_same_bits(kk.matmul_kernel(a, b), matmul_ref(np.array(a), np.array(b)))


@pytest.mark.parametrize("m, k, n", [(3, 0, 4), (200, 0, 300), (0, 5, 7), (4, 5, 0), (0, 0, 0), (0, 3, 20000)])
def test_empty_extents(m, k, n):
    # k = 0: every element is the empty sum +0.0; m or n = 0: an empty result.
    c = kk.matmul_kernel(np.ones((m, k), np.float32), np.ones((k, n), np.float32))
    assert c.flags.c_contiguous
    assert_same_bits(c, np.zeros((m, n), np.float32))


@pytest.mark.parametrize("m, n", [(2, 3), (80, 200)])
def test_negative_zero_products_sum_to_positive_zero(m, n):
    a = np.full((m, 5), -0.0, np.float32)
    b = np.ones((5, n), np.float32)
    c = kk.matmul_kernel(a, b)
    assert_same_bits(c, np.zeros((m, n), np.float32))


@pytest.mark.parametrize("m, n", [(6, 7), (100, 130)])
def test_nan_and_infinity_propagate(m, n):
    a, b = operands(m, 20, n, seed=3)
    b = np.abs(b) + np.float32(1)
    a[1, 4] = np.nan
    a[2, :] = 0.0
    a[2, 6] = np.inf
    a[3, :] = np.abs(a[3, :])
    a[3, 0] = np.inf
    b[6, 2] = 0.0  # inf * 0 in row 2, column 2
    c = kk.matmul_kernel(a, b)
    assert np.isnan(c[1]).all()
    assert np.isnan(c[2, 2])
    assert np.isposinf(np.delete(c[2], 2)).all()
    assert np.isposinf(c[3]).all()
    assert_same_bits(c, matmul_ref(a, b))


@pytest.mark.parametrize(
    "a_shape, b_shape",
    [((3,), (3, 2)), ((2, 3), (3,)), ((1, 2, 3), (3, 2)), ((2, 3), (1, 3, 2)), ((), (1, 1)), ((2, 2, 2), (5,))],
)
def test_dimensionality_is_checked_before_shapes(a_shape, b_shape):
    with pytest.raises(ValueError) as info:
        kk.matmul_kernel(np.ones(a_shape, np.float32), np.ones(b_shape, np.float32))
    assert str(info.value) == "Both inputs must be 2D arrays"


@pytest.mark.parametrize(
    "a_shape, b_shape, message",
    [
        ((2, 3), (4, 5), "Incompatible shapes for matmul: [2, 3] and [4, 5]"),
        ((0, 1), (0, 7), "Incompatible shapes for matmul: [0, 1] and [0, 7]"),
        ((10, 64), (65, 10), "Incompatible shapes for matmul: [10, 64] and [65, 10]"),
    ],
)
def test_incompatible_shapes_message(a_shape, b_shape, message):
    with pytest.raises(ValueError) as info:
        kk.matmul_kernel(np.ones(a_shape, np.float32), np.ones(b_shape, np.float32))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "extent, message",
    [
        # m * n = 2^64: the element count of the result overflows.
        (2**32, "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
        # m * n = 2^62 elements fit, 2^64 bytes do not.
        (2**31, "capacity overflow"),
    ],
)
def test_result_size_tests(extent, message):
    a = np.empty((extent, 0), np.float32)
    b = np.empty((0, extent), np.float32)
    assert panic_of(lambda: kk.matmul_kernel(a, b)) == message
    assert kk.matmul_kernel(np.ones((1, 1), np.float32), np.ones((1, 1), np.float32))[0, 0] == 1.0


_PATH_SHAPES = [(1, 1, 1), (5, 9, 3), (63, 300, 65), (100, 77, 100), (73, 50, 137), (130, 600, 129),
                # results at most 16 wide: `a` read in place, one or two
                # vectors per row, row groups with leftovers
                (700, 129, 10), (37, 300, 16), (50, 70, 8), (29, 40, 17), (13, 600, 1),
                # last vectors of 7 and 5 columns, stored in pieces of 4, 2, 1
                (33, 50, 7), (21, 90, 13)]

_PATH_SCRIPT = f"""
import hashlib, json
import numpy as np
import _kiln_kernels as kk
rng = np.random.default_rng(11)
digests = []
for m, k, n in {_PATH_SHAPES!r}:
    a = (rng.standard_normal((m, k), dtype=np.float32) * np.float32(1e3)).astype(np.float32)
    b = rng.standard_normal((k, n), dtype=np.float32)
    digests.append(hashlib.sha256(kk.matmul_kernel(a, b).tobytes()).hexdigest())
print(json.dumps(digests))
"""


@functools.lru_cache(maxsize=None)
def _reference_digests(shapes):
    """Digests of the reference products of the path script's operands (the
    same generator, seed and order), computed once per list of shapes."""
    rng = np.random.default_rng(11)
    digests = []
    for m, k, n in shapes:
        a = (rng.standard_normal((m, k), dtype=np.float32) * np.float32(1e3)).astype(np.float32)
        b = rng.standard_normal((k, n), dtype=np.float32)
        digests.append(hashlib.sha256(matmul_ref(a, b).tobytes()).hexdigest())
    return digests


@pytest.mark.parametrize("isa", ["scalar", "avx2", "avx512"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_instruction_set_and_worker_count_gives_the_same_bits(isa, threads):
    # KILN_KERNELS_ISA caps the micro-kernel's instruction set.
    proc = run_python(_PATH_SCRIPT, env={**isa_env(isa), "RAYON_NUM_THREADS": threads})
    assert json.loads(proc.stdout) == _reference_digests(tuple(_PATH_SHAPES))


# Every tile of the first shape needs the one band of `b`, every tile of the
# second the one band of `a`, deep enough that packing a band (of `a`) or
# a panel's part for one pass (of `b`) lasts until the other workers
# arrive: they wait for it.
_SHARED_BAND_SHAPES = [(600, 2000, 500), (150, 2000, 1500)]


@pytest.mark.parametrize("threads", ["2", "8"])
def test_workers_waiting_for_a_band_being_packed_get_the_same_bits(threads):
    # With more workers than cores, a waiting worker may hold the core the
    # packing one needs.
    script = _PATH_SCRIPT.replace(repr(_PATH_SHAPES), repr(_SHARED_BAND_SHAPES))
    proc = run_python(script, env={"RAYON_NUM_THREADS": threads}, timeout=120)
    assert json.loads(proc.stdout) == _reference_digests(tuple(_SHARED_BAND_SHAPES))


_BLOCK_SHAPES = _PATH_SHAPES + [(530, 70, 520)]  # more than the largest tile each way


@pytest.mark.parametrize("candidate, isa", [("8x32-avx512", "avx512"), ("6x16-avx2", "avx2"), ("3x32-avx2", "avx2"),
                                            ("4x8-scalar", "scalar")])
@pytest.mark.parametrize("blocks", [
    None,  # chosen from this CPU's caches
    "64,64,256",  # when the caches are unknown
    "40,48,100",  # tiles of partial panels; passes that divide neither k
    "512,512,1024",  # the largest tiles, whole inner extents in one pass
    "7,9,3",
])
def test_every_kernel_and_block_size_gives_the_same_bits(candidate, isa, blocks):
    # The table's choices, forced: each micro-kernel with block sizes that
    # do not divide the shapes. Only the speed may differ.
    if isa not in CPU_ISAS:
        pytest.skip(f"this CPU has no {isa}")
    script = _PATH_SCRIPT.replace(repr(_PATH_SHAPES), repr(_BLOCK_SHAPES))
    env = {"KILN_KERNELS_MATMUL": candidate, "KILN_KERNELS_MATMUL_BLOCKS": blocks, "RAYON_NUM_THREADS": "2"}
    assert json.loads(run_python(script, env=env).stdout) == _reference_digests(tuple(_BLOCK_SHAPES))


def test_no_fused_multiply_add_in_the_module():
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    text = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", kk.__file__], capture_output=True, text=True, check=True
    ).stdout
    mnemonics = set(re.findall(r"^\s*[0-9a-f]+:\s+([a-z][a-z0-9]*)", text, re.M))
    fused = sorted(op for op in mnemonics if op.startswith(("vfmadd", "vfmsub", "vfnmadd", "vfnmsub")))
    # Only the exponential's internal double-precision evaluation fuses (its
    # float result is correctly rounded either way); no float32 step does.
    assert [op for op in fused if not op.endswith("pd")] == []
    # The disassembly did cover the 512-bit and 256-bit vector kernels.
    assert {"vmulps", "vaddps", "vbroadcastss"} <= mnemonics
