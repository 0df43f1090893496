"""relu: the element rule bit for bit on both paths, the dimensionality check
and the layouts each path accepts."""
import ctypes
import platform

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _kiln_kernels as kk
from conftest import assert_same_bits, isa_env, panic_type, random_float32_bits, run_python
from references import relu_ref

REFUSED = "called `Option::unwrap()` on a `None` value"


SPECIALS = np.array([
    0x00000000, 0x80000000,              # +0.0, -0.0
    0x7F800000, 0xFF800000,              # +inf, -inf
    0x7FC00000, 0xFFC00000,              # quiet NaN of both signs
    0x7F800001, 0xFF800001, 0x7FA00000,  # signalling NaNs
    0x7FFFFFFF, 0xFFFFFFFF, 0x7FC12345, 0xFFC12345,  # NaN payloads
    0x00000001, 0x80000001,              # smallest subnormals
    0x007FFFFF, 0x807FFFFF,              # largest subnormals
    0x00800000, 0x80800000,              # smallest normals
    0x7F7FFFFF, 0xFF7FFFFF,              # largest finite
    0x3F800000, 0xBF800000,              # +-1.0
], np.uint32)


def test_element_rule_exact_values():
    x = SPECIALS.view(np.float32).reshape(1, -1)
    got = kk.relu(x).view(np.uint32).ravel()
    by_input = dict(zip(SPECIALS.tolist(), got.tolist()))
    for bits in (0x80000000, 0xFF800000, 0x7FC00000, 0xFFC00000, 0x7F800001, 0xFFFFFFFF, 0x80000001):
        assert by_input[bits] == 0x00000000, hex(bits)  # +0.0, never -0.0 or NaN
    for bits in (0x7F800000, 0x00000001, 0x007FFFFF, 0x7F7FFFFF):
        assert by_input[bits] == bits, hex(bits)  # unchanged, no flush to zero


@pytest.mark.parametrize("shape", [(1, 23 * 435), (100, 100), (1, 10001), (73, 137), (300, 1001)],
                         ids=str)
def test_special_values_in_every_position(shape):
    # Every special value lands in every vector lane and at block ends.
    n = shape[0] * shape[1]
    x = np.resize(SPECIALS, n).view(np.float32).reshape(shape)
    assert_same_bits(kk.relu(x), relu_ref(x))


SHAPES = [(1, 1), (1, 7), (3, 5), (17, 31), (1, 1023), (1, 1024), (1, 1025), (2, 2049),
          (100, 100), (1, 10000), (10000, 1),  # the largest sequential inputs
          (1, 10001), (10001, 1), (73, 137),  # the smallest parallel inputs: 9 blocks of 1024 and 785
          (3, 4097), (129, 257), (512, 1000)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_random_bits(shape):
    x = random_float32_bits(shape, seed=shape[0] * 7 + shape[1])
    before = x.copy()
    r = kk.relu(x)
    assert_same_bits(r, relu_ref(x))
    assert_same_bits(x, before)  # the input is never written
    assert r is not x and not np.shares_memory(r, x)


@pytest.mark.parametrize("shape", [(4, 6), (101, 100)], ids=str)
def test_all_positive_input_still_gives_a_new_array(shape):
    x = np.full(shape, 2.5, np.float32)
    r = kk.relu(x)
    assert r is not x and not np.shares_memory(r, x)
    r[0, 0] = -1.0
    assert x[0, 0] == 2.5


@pytest.mark.parametrize("n", [37, 10001])
def test_unaligned_input(n):
    raw = np.zeros(4 * n + 1, np.uint8)
    x = raw[1:].view(np.float32).reshape(1, n)
    assert not x.flags.aligned
    x[...] = random_float32_bits((1, n), seed=n)
    assert_same_bits(kk.relu(x), relu_ref(x))


@pytest.mark.skipif(platform.machine() != "x86_64" or not platform.libc_ver()[0] == "glibc",
                    reason="sets MXCSR through glibc's fenv_t")
def test_subnormals_survive_callers_flush_to_zero_mode():
    libm = ctypes.CDLL("libm.so.6")
    saved = (ctypes.c_uint32 * 8)()  # fenv_t; MXCSR is its last word
    assert libm.fegetenv(saved) == 0
    xs = [np.resize(SPECIALS, n).view(np.float32).reshape(1, n) for n in (len(SPECIALS), 10100)]
    expected = [relu_ref(x) for x in xs]
    hostile = (ctypes.c_uint32 * 8)(*saved)
    hostile[7] |= 0x8040  # flush-to-zero and denormals-are-zero
    libm.fesetenv(hostile)
    try:
        results = [kk.relu(x) for x in xs]
        after = (ctypes.c_uint32 * 8)()
        libm.fegetenv(after)
    finally:
        libm.fesetenv(saved)
    assert after[7] & 0xFFC0 == hostile[7] & 0xFFC0  # the caller's mode is restored
    for r, e in zip(results, expected):
        assert_same_bits(r, e)


@pytest.mark.parametrize("shape", [(5,), (20000,), (2, 2, 2), (1, 1, 1, 1), (200, 10, 10)], ids=str)
def test_input_must_be_2d(shape):
    with pytest.raises(ValueError) as info:
        kk.relu(np.ones(shape, np.float32))
    assert type(info.value) is ValueError
    assert str(info.value) == "Input must be a 2D array"


def _rand(rows, cols):
    return np.random.default_rng(rows * 131 + cols).standard_normal((rows, cols)).astype(np.float32)


# (id, view builder, accepted). Up to 10000 elements only standard row-major
# input is read; above that, a layout whose elements fill one gap-free block
# in another order is refused and everything else is accepted.
LAYOUTS = [
    # sequential path
    ("seq-contiguous", lambda: _rand(100, 100), True),
    ("seq-row-block", lambda: _rand(100, 100)[10:20], True),
    ("seq-row-cut-from-wider", lambda: _rand(10, 300)[3:4, 10:250], True),
    ("seq-column-vector", lambda: _rand(50, 1), True),
    ("seq-single-element-reversed", lambda: _rand(5, 5)[::-1, ::-1][:1, :1], True),
    ("seq-empty-rows", lambda: _rand(5, 40)[:0], True),
    ("seq-empty-cols-transposed", lambda: _rand(0, 40).T, True),
    ("seq-broadcast-single-row", lambda: np.broadcast_to(_rand(1, 40)[0], (1, 40)), True),
    ("seq-transposed", lambda: _rand(100, 100).T, False),
    ("seq-reversed-rows", lambda: _rand(50, 60)[::-1], False),
    ("seq-reversed-cols", lambda: _rand(50, 60)[:, ::-1], False),
    ("seq-reversed-row", lambda: _rand(10, 60)[3:4, ::-1], False),
    ("seq-reversed-column-vector", lambda: _rand(50, 1)[::-1], False),
    ("seq-gapped-cols-10000", lambda: _rand(100, 200)[:, ::2], False),
    ("seq-gapped-rows", lambda: _rand(200, 50)[::2], False),
    ("seq-gapped-row", lambda: _rand(10, 240)[3:4, ::2], False),
    ("seq-column-cut-from-wider", lambda: _rand(50, 20)[:, 3:4], False),
    ("seq-column-block", lambda: _rand(100, 100)[:, 10:20], False),
    ("seq-broadcast-rows", lambda: np.broadcast_to(_rand(1, 40), (50, 40)), False),
    ("seq-broadcast-scalar-row", lambda: np.broadcast_to(np.float32(3), (1, 50)), False),
    # parallel path
    ("par-contiguous", lambda: _rand(73, 137), True),
    ("par-gapped-cols-10001", lambda: _rand(73, 274)[:, ::2], True),
    ("par-gapped-rows", lambda: _rand(146, 137)[::2], True),
    ("par-column-cut-from-wider", lambda: _rand(10001, 3)[:, 1:2], True),
    ("par-gapped-row", lambda: _rand(2, 20002)[1:, ::2], True),
    ("par-column-block", lambda: _rand(100, 300)[:, 100:250], True),
    ("par-reversed-gapped-rows", lambda: _rand(146, 137)[::-2], True),
    ("par-gapped-reversed-cols", lambda: _rand(73, 274)[:, ::-2], True),
    ("par-reversed-rows-gapped-cols", lambda: _rand(73, 274)[::-1, ::2], True),
    ("par-transposed-gapped", lambda: _rand(274, 73)[::2].T, True),
    ("par-broadcast-rows", lambda: np.broadcast_to(_rand(1, 100), (200, 100)), True),
    ("par-broadcast-cols", lambda: np.broadcast_to(_rand(200, 1), (200, 100)), True),
    ("par-overlapping", lambda: as_strided(_rand(1, 400)[0], shape=(200, 100), strides=(4, 4)), True),
    ("par-transposed", lambda: _rand(137, 73).T, False),
    ("par-reversed-rows", lambda: _rand(73, 137)[::-1], False),
    ("par-reversed-cols", lambda: _rand(73, 137)[:, ::-1], False),
    ("par-reversed-both", lambda: _rand(73, 137)[::-1, ::-1], False),
    ("par-reversed-column-vector", lambda: _rand(10001, 1)[::-1], False),
    ("par-reversed-row", lambda: _rand(1, 10001)[:, ::-1], False),
    ("par-transposed-reversed", lambda: _rand(137, 73)[::-1].T, False),
]


@pytest.mark.parametrize("build, accepted", [l[1:] for l in LAYOUTS], ids=[l[0] for l in LAYOUTS])
def test_layouts(build, accepted, capfd):
    x = build()
    if accepted:
        assert_same_bits(kk.relu(x), relu_ref(x))
        return
    capfd.readouterr()
    with pytest.raises(panic_type()) as info:
        kk.relu(x)
    assert str(info.value) == REFUSED
    assert REFUSED in capfd.readouterr().err  # the failure report
    # Nothing is left behind: the next call works.
    assert kk.relu(np.array([[-2.0, 2.0]], np.float32)).tolist() == [[0.0, 2.0]]


@pytest.mark.parametrize("isa", ["scalar", "avx2", "avx512"])
def test_every_instruction_set_gives_the_same_bits(isa):
    proc = run_python(
        """
        import numpy as np
        import _kiln_kernels as kk
        rng = np.random.default_rng(5)
        shapes = [(1, n) for n in range(1, 80)] + [(3, 333), (100, 100), (1, 10001), (77, 300)]
        for shape in shapes:
            x = rng.integers(0, 2**32, size=shape, dtype=np.uint32).view(np.float32)
            x[0, ::3] = np.float32(-0.0)
            ref = np.where(x > 0, x, np.float32(0)).astype(np.float32)
            got = kk.relu(x)
            assert np.array_equal(got.view(np.uint32), ref.view(np.uint32)), shape
        print("ok")
        """,
        env=isa_env(isa),
    )
    assert proc.stdout.strip() == "ok"
