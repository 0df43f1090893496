"""quantize_int8 and dequantize_int8: bit for bit against independent NumPy
evaluations of the rules, on both paths, every instruction set and thread
count; the values the rules fix, the layouts and the failures."""
import hashlib

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import assert_same_bits, isa_env, panic_type, random_float32_bits, run_python
from references import dequantize_ref, quantize_ref

REFUSED = "called `Option::unwrap()` on a `None` value"
ISAS = ["scalar", "avx2", "avx512"]


def check_quantize(x):
    q, scale = kk.quantize_int8(x)
    q_ref, scale_ref = quantize_ref(x)
    assert type(scale) is float
    assert np.float64(scale).view(np.uint64) == np.float64(scale_ref).view(np.uint64)
    assert_same_bits(q, q_ref)
    assert q.min(initial=0) >= -127
    return q, scale


SHAPES = [(1, 1), (1, 15), (1, 17), (3, 5), (1, 1023), (1, 1024), (1, 1025), (100, 100),
          (1, 10000), (10000, 1),  # the largest inputs of the calling thread
          (1, 10001), (10001, 1), (73, 137),  # the smallest inputs of the pool
          (129, 257), (512, 1000)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_quantize_random(shape):
    rng = np.random.default_rng(shape[0] * 3 + shape[1])
    check_quantize((rng.standard_normal(shape) * 5).astype(np.float32))


@pytest.mark.parametrize("shape", [(1, 50), (100, 100), (73, 137)], ids=str)
def test_quantize_with_nan(shape):
    rng = np.random.default_rng(9)
    x = (rng.standard_normal(shape) * 5).astype(np.float32)
    x.flat[::7] = np.nan
    x.flat[3] = -np.float32(1e4)  # the largest magnitude is negative
    q, _ = check_quantize(x)
    assert (q.flat[::7] == 127).all()


@pytest.mark.parametrize("shape", [(1, 40), (100, 101)], ids=str)
def test_quantize_random_bits(shape):
    # Every kind of value, infinities and NaNs included.
    check_quantize(random_float32_bits(shape, seed=shape[1]))


@pytest.mark.parametrize("shape", [(1, 40), (100, 101)], ids=str)
def test_quantize_finite_random_bits(shape):
    # Magnitudes spread over the whole exponent range, so scale and inv are
    # far from 1 (including a scale that underflows for tiny matrices).
    x = random_float32_bits(shape, seed=7)
    x[~np.isfinite(x)] = np.float32(1.5)
    check_quantize(x)


def _tiny(shape, m, seed):
    """Elements of both signs whose largest magnitude is m (as float32)."""
    rng = np.random.default_rng(seed)
    x = (rng.uniform(-1.0, 1.0, shape) * m).astype(np.float32)
    x.flat[::5] = 0.0
    x.flat[1] = -np.float32(m)
    return x


@pytest.mark.parametrize("x", [
    np.array([[1e-38, 0.0, -1e-38, 5e-39]], np.float32),
    np.array([[1e-45, 0.0, -1e-45]], np.float32),  # M / 127 rounds to 0
    np.array([[-3e-44, 1e-45, -0.0, 0.0, 2e-44]], np.float32),
    _tiny((1, 999), 1e-40, 1),  # subnormal elements
    _tiny((100, 101), 1e-38, 2),  # on the pool
    _tiny((3, 7), 1e-37, 3),
    _tiny((3, 7), 3.7e-37, 4),  # M just below where inv overflows
    _tiny((3, 7), 3.8e-37, 5),  # just above: the plain rule
], ids=["issue", "smallest", "few-ulps", "subnormal", "pool", "1e-37", "below", "above"])
def test_tiny_largest_magnitude(x):
    q, scale = check_quantize(x)
    assert 0.0 < scale < np.inf
    v, got = x.astype(np.float64), q.astype(np.float64)
    m = np.abs(v).max()
    ideal = np.trunc(v / m * 127 + np.copysign(0.5, v))  # halves away from zero
    assert (got[v == 0] == 0).all()
    assert (got * v >= 0).all()  # signs kept
    assert np.abs(got - ideal).max() <= 1


# Rounding: with a largest magnitude of 127, inv = 1 and p = v exactly.
HALVES = np.array([127.0, 0.49999997, 0.5, 0.50000006, 1.5, 2.5, 126.5, 126.49999, 3.4999998,
                   -0.49999997, -0.5, -1.5, -2.5, -126.5, 1e-30, -1e-30, 0.0, -0.0, -127.0],
                  np.float32)
HALVES_Q = [127, 0, 1, 1, 2, 3, 127, 126, 3, 0, -1, -2, -3, -127, 0, 0, 0, 0, -127]


@pytest.mark.parametrize("n", [19, 10001])  # both paths
def test_rounding_halves_away_from_zero(n):
    x = np.resize(HALVES, n).reshape(1, n)
    q, scale = kk.quantize_int8(x)
    assert scale == 1.0
    assert q.tolist()[0] == np.resize(HALVES_Q, n).tolist()


def test_every_float_up_to_127_rounds_by_the_rule():
    # A strided sweep over the bit patterns of [0, 127] and their negatives.
    bits = np.arange(0, np.float32(127).view(np.uint32), 7919, dtype=np.uint32)
    v = np.concatenate([bits.view(np.float32), -bits.view(np.float32), [127.0]]).astype(np.float32)
    check_quantize(v.reshape(1, -1))
    check_quantize(v[: v.size // 20 * 20].reshape(20, -1))


@pytest.mark.parametrize("x, q, scale", [
    ([[127.0, 0.5, -0.5, 2.5, -1.5]], [[127, 1, -1, 3, -2]], 1.0),
    ([[2.5, -2.5, 0.5]], [[127, -127, 25]], 0.019685039296746254),
    ([[1.0, -0.5]], [[127, -64]], 0.007874015718698502),
    ([[0.0, -0.0, 0.0]], [[0, 0, 0]], 1.0),
    ([[np.nan, np.nan]], [[127, 127]], 1.0),
    ([[np.inf, 3.0, -2.0, -np.inf]], [[127, 0, 0, 127]], float("inf")),
    ([[np.nan, -4.0, 2.0]], [[127, -127, 64]], float(np.float32(4) / np.float32(127))),
], ids=["halves", "2.5", "one", "zeros", "all-nan", "infinities", "nan-keeps-scale"])
def test_values_the_rule_fixes(x, q, scale):
    got_q, got_scale = kk.quantize_int8(np.array(x, np.float32))
    assert got_q.dtype == np.int8 and got_q.tolist() == q
    assert got_scale == scale


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0), (0, 20000)], ids=str)
def test_quantize_empty(shape):
    for x in (np.zeros(shape, np.float32), np.zeros(shape[::-1], np.float32).T):
        q, scale = kk.quantize_int8(x)
        assert q.shape == shape and q.dtype == np.int8 and scale == 1.0
        assert q.strides == (0, 0)


def refused_layouts(rows, cols):
    base = np.arange(rows * cols * 2, dtype=np.float32).reshape(rows, 2 * cols)
    return {
        "transposed": np.ascontiguousarray(base[:, :cols].T).T,
        "reversed-rows": np.ascontiguousarray(base[:, :cols])[::-1],
        "column-slice": base[:, :cols],
        "every-other-column": base[:, ::2],
        "broadcast": np.broadcast_to(base[:1, :cols], (rows, cols)),
        "single-column-of-wider": base[:, 1:2],
    }


@pytest.mark.parametrize("shape", [(2, 3), (101, 100)], ids=str)  # both paths
@pytest.mark.parametrize("name", list(refused_layouts(2, 3)))
def test_layout_refused(name, shape):
    x = refused_layouts(*shape)[name]
    with pytest.raises(panic_type()) as info:
        kk.quantize_int8(x)
    assert str(info.value) == REFUSED


@pytest.mark.parametrize("make", [
    lambda b: b[1:2, :],                  # one row of a wider matrix
    lambda b: b[1:2, ::-1][:, ::-1],      # the same row through a reversed view
    lambda b: np.ascontiguousarray(b[:, 3:4]),
    lambda b: b.reshape(-1, 1)[5:9],      # a column with unit steps
    lambda b: np.broadcast_to(b[0, 0], (1, 1)),
], ids=["row", "row-double-reversed", "column-copy", "unit-column", "broadcast-1x1"])
def test_layouts_accepted(make):
    base = (np.random.default_rng(1).standard_normal((6, 20001)) * 3).astype(np.float32)
    check_quantize(make(base))


def test_quantize_reads_in_place_and_does_not_write():
    x = (np.random.default_rng(2).standard_normal((150, 100)) * 3).astype(np.float32)
    before = x.copy()
    check_quantize(x)
    assert_same_bits(x, before)


# --- dequantize -------------------------------------------------------------

@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_dequantize_random(shape):
    rng = np.random.default_rng(shape[0] + shape[1])
    q = rng.integers(-128, 128, size=shape, dtype=np.int8)
    scale = float(rng.uniform(0.001, 2.0))
    assert_same_bits(kk.dequantize_int8(q, scale), dequantize_ref(q, scale))


def test_scale_is_narrowed_to_float32_first():
    q = np.arange(-128, 128, dtype=np.int8).reshape(16, 16)
    scale = 0.1  # not a float32 value
    got = kk.dequantize_int8(q, scale)
    assert_same_bits(got, dequantize_ref(q, scale))
    in_double = (q.astype(np.float64) * scale).astype(np.float32)
    assert not np.array_equal(got, in_double)  # the two orders really differ here


@pytest.mark.parametrize("scale, expected", [
    (1.0, [[127.0, -127.0, 0.0, -128.0]]),
    (0.0, [[0.0, -0.0, 0.0, -0.0]]),
    (-2, [[-254.0, 254.0, -0.0, 256.0]]),
    (float("nan"), [[np.nan] * 4]),
    # Beyond float32: +inf before use; 0 * inf is the default NaN, sign bit set.
    (1e39, [[np.inf, -np.inf, -np.nan, -np.inf]]),
    (np.float32(0.5), [[63.5, -63.5, 0.0, -64.0]]),
], ids=["one", "zero", "int", "nan", "huge", "float32"])
def test_dequantize_values_the_rule_fixes(scale, expected):
    got = kk.dequantize_int8(np.array([[127, -127, 0, -128]], np.int8), scale)
    assert_same_bits(got, np.array(expected, np.float32))


def int8_layouts(rows, cols):
    base = np.random.default_rng(rows).integers(-128, 128, size=(rows, cols), dtype=np.int8)
    wide = np.zeros((rows, 3 * cols), np.int8)
    wide[:, ::3] = base
    return {
        "transposed": np.ascontiguousarray(base.T).T,
        "reversed": base[::-1, ::-1],
        "gapped": wide[:, ::3],
        "broadcast": np.broadcast_to(base[:1], base.shape),
        "fortran": np.asfortranarray(base),
    }


@pytest.mark.parametrize("shape", [(30, 40), (150, 90), (1, 20000)], ids=str)  # both paths
@pytest.mark.parametrize("name", list(int8_layouts(2, 2)))
def test_dequantize_any_layout(name, shape):
    q = int8_layouts(*shape)[name]
    assert_same_bits(kk.dequantize_int8(q, 0.37), dequantize_ref(np.ascontiguousarray(q), 0.37))


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0)], ids=str)
def test_dequantize_empty(shape):
    got = kk.dequantize_int8(np.zeros(shape, np.int8), 2.0)
    assert got.shape == shape and got.dtype == np.float32 and got.strides == (0, 0)


@pytest.mark.parametrize("shape", [(1, 5), (101, 100)], ids=str)
def test_round_trip(shape):
    x = np.resize(np.array([127.0, 0.5, -0.5, 2.5, -1.5], np.float32), shape)
    q, scale = kk.quantize_int8(x)
    assert_same_bits(kk.dequantize_int8(q, scale),
                     np.resize(np.array([127.0, 1.0, -1.0, 3.0, -2.0], np.float32), shape))


# --- failures ---------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    (lambda: kk.quantize_int8(np.zeros(4, np.float32)), ValueError, "Input must be a 2D array"),
    (lambda: kk.quantize_int8(np.zeros((1, 2, 2), np.float32)), ValueError,
     "Input must be a 2D array"),
    (lambda: kk.quantize_int8(np.zeros((2, 2))), TypeError,
     "argument 'x': type mismatch:\n from=float64, to=float32"),
    (lambda: kk.quantize_int8(np.zeros((2, 2), np.int8)), TypeError,
     "argument 'x': type mismatch:\n from=int8, to=float32"),
    (lambda: kk.dequantize_int8(np.zeros(4, np.int8), 1.0), ValueError,
     "Input must be a 2D array"),
    (lambda: kk.dequantize_int8(np.zeros((1, 2, 2), np.int8), 1.0), ValueError,
     "Input must be a 2D array"),
    (lambda: kk.dequantize_int8(np.zeros((2, 2), np.float32), 1.0), TypeError,
     "argument 'x': type mismatch:\n from=float32, to=int8"),
    (lambda: kk.dequantize_int8(np.zeros((2, 2), np.int16), 1.0), TypeError,
     "argument 'x': type mismatch:\n from=int16, to=int8"),
    # A bad scale is reported before a bad dimensionality.
    (lambda: kk.dequantize_int8(np.zeros((1, 2, 2), np.int8), "s"), TypeError,
     "argument 'scale': must be real number, not str"),
], ids=["q-1-D", "q-3-D", "q-float64", "q-int8", "d-1-D", "d-3-D", "d-float32", "d-int16",
        "d-scale-before-3-D"])
def test_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


# --- every instruction set and thread count gives the same bits -------------

DIGEST = """
import hashlib, numpy as np, _kiln_kernels as kk
h = hashlib.sha256()
for i, shape in enumerate([(1, 1), (3, 5), (1, 1023), (100, 100), (1, 10001), (73, 137),
                           (129, 257)]):
    rng = np.random.default_rng(i)
    x = (rng.standard_normal(shape) * 4).astype(np.float32)
    x.flat[::11] = np.nan
    x.flat[::13] = rng.integers(-254, 255, size=x.flat[::13].size) / np.float32(2)  # halves
    q, scale = kk.quantize_int8(x)
    h.update(q.tobytes() + np.float64(scale).tobytes())
    h.update(kk.dequantize_int8(q.T, scale).tobytes())
    bits = rng.integers(0, 2**32, size=shape, dtype=np.uint32).view(np.float32)
    q, scale = kk.quantize_int8(bits)
    h.update(q.tobytes() + np.float64(scale).tobytes())
print(h.hexdigest())
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("isa", ISAS)
def test_same_bits_for_every_isa_and_thread_count(isa, threads):
    here = run_python(DIGEST).stdout
    proc = run_python(DIGEST, env={**isa_env(isa), "RAYON_NUM_THREADS": threads})
    assert proc.stdout == here


def test_digest_inputs_match_reference():
    # The digests above compare the paths with each other; here the same
    # inputs are compared with the reference in this process.
    for i, shape in enumerate([(3, 5), (100, 100), (1, 10001), (73, 137)]):
        rng = np.random.default_rng(i)
        x = (rng.standard_normal(shape) * 4).astype(np.float32)
        x.flat[::11] = np.nan
        x.flat[::13] = rng.integers(-254, 255, size=x.flat[::13].size) / np.float32(2)
        q, scale = check_quantize(x)
        assert_same_bits(kk.dequantize_int8(q.T, scale), dequantize_ref(q.T, scale))


@pytest.mark.parametrize("threads", ["1", "3", "5"])
def test_shares_of_the_pool_match_reference(threads):
    # Large inputs are cut into one share per worker (shares that do not
    # divide the chunks evenly with 3 and 5); each share is quantized in two
    # parts when it is longer than half an L2 cache. The largest magnitude
    # sits in the first, a middle or the last share, or is infinite.
    cases = [((1, 10001), 0), ((300, 1001), -1), ((700, 1024), 350 * 1024 + 7), ((129, 257), -1)]
    code = f"""
import hashlib, numpy as np, _kiln_kernels as kk
h = hashlib.sha256()
for i, (shape, where) in enumerate({cases!r}):
    x = (np.random.default_rng(i).standard_normal(shape) * 3).astype(np.float32)
    x.flat[::17] = np.nan
    x.flat[where] = -np.float32(50) if i != 3 else -np.inf
    q, scale = kk.quantize_int8(x)
    h.update(q.tobytes() + np.float64(scale).tobytes())
print(h.hexdigest())
"""
    proc = run_python(code, env={"RAYON_NUM_THREADS": threads})
    h = hashlib.sha256()
    for i, (shape, where) in enumerate(cases):
        x = (np.random.default_rng(i).standard_normal(shape) * 3).astype(np.float32)
        x.flat[::17] = np.nan
        x.flat[where] = -np.float32(50) if i != 3 else -np.inf
        q, scale = quantize_ref(x)
        h.update(q.tobytes() + np.float64(scale).tobytes())
    assert proc.stdout.strip() == h.hexdigest()
