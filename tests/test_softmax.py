"""softmax: bit for bit against an independent NumPy evaluation of the lane
rule, the same bits on every path, layout, instruction set and thread count,
the values the rule fixes, axis normalisation and the failures."""
import decimal
import hashlib
import operator

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import assert_same_bits, isa_env, run_python

LOWEST = np.float32(-3.4028235e38)
ISAS = ["scalar", "avx2", "avx512"]


def exp_f32_exact(v):
    """exp(v) correctly rounded to float32 from a 60-digit decimal exp (itself
    correctly rounded), compared with the exact midpoints to the float32
    neighbours."""
    with decimal.localcontext() as ctx:
        ctx.prec = 60
        exact = decimal.Decimal(float(v)).exp()
        f = np.float32(float(exact))
        best = min((f, np.nextafter(f, np.float32(np.inf)), np.nextafter(f, np.float32(0))),
                   key=lambda c: abs(decimal.Decimal(float(c)) - exact))
    return np.float32(best)


def exp_f32(d):
    """exp of float32 values, correctly rounded to float32: the float64
    exponential rounded once more. That double rounding can only go wrong
    when exp(d) lies within a few float64 units of a float32 midpoint; such
    inputs are computed again with exp_f32_exact."""
    d = np.asarray(d, np.float32)
    wide = np.exp(d.astype(np.float64))
    e = wide.astype(np.float32)
    # The float32 neighbours of e and the midpoints between them.
    up = np.nextafter(e, np.float32(np.inf)).astype(np.float64)
    down = np.nextafter(e, np.float32(0)).astype(np.float64)
    e64 = e.astype(np.float64)
    near = np.minimum(np.abs(wide - (e64 + up) / 2), np.abs(wide - (e64 + down) / 2))
    doubtful = np.isfinite(wide) & (wide > 0) & (near <= wide * 2.0**-50)
    for i in zip(*np.nonzero(doubtful)):
        e[i] = exp_f32_exact(d[i])
    return e


def softmax_rows_ref(x):
    """The lane rule along rows, in float32 arithmetic."""
    x = np.asarray(x, np.float32)
    m = np.full((x.shape[0], 1), LOWEST, np.float32)
    for k in range(x.shape[1]):  # m = v if v > m else m, NaN never taken
        v = x[:, k:k + 1]
        m = np.where(v > m, v, m)
    with np.errstate(invalid="ignore", divide="ignore"):  # inf - inf, 0 * inf, 1 / 0
        e = exp_f32((x - m).astype(np.float32))
        # add.accumulate adds strictly left to right, one rounding per step.
        s = np.add.accumulate(e, axis=1, dtype=np.float32)[:, -1:]
        r = (np.float32(1) / s).astype(np.float32)
        out = (e * r).astype(np.float32)
    # A lane with a NaN sum is written as the one quiet NaN 0x7FC00000.
    out[np.isnan(s[:, 0])] = np.uint32(0x7FC00000).view(np.float32)
    return out


def softmax_ref(x, axis):
    x = np.asarray(x, np.float32)
    if x.size == 0:
        return np.zeros(x.shape, np.float32)
    a = axis + 2 if axis < 0 else axis
    if a == 0:
        return np.ascontiguousarray(softmax_rows_ref(x.T).T)
    return softmax_rows_ref(x)


def random_input(shape, seed, specials=False):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(shape) * 6).astype(np.float32)
    if specials and x.size:
        flat = x.reshape(-1)
        picks = rng.integers(0, flat.size, size=max(1, flat.size // 50))
        values = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e30, -1e30, LOWEST, 88.0, -100.0],
                          np.float32)
        flat[picks] = values[rng.integers(0, values.size, size=picks.size)]
    return x


SHAPES = [(1, 1), (1, 7), (7, 1), (3, 5), (17, 33), (16, 128), (16, 129), (31, 600),
          (100, 100), (1, 10000), (10000, 1),  # the largest inputs of the calling thread
          (1, 10001), (10001, 1), (73, 137),  # the smallest inputs of the pool
          (64, 1000), (300, 257), (2, 20000),
          (1, 32767), (1, 32768), (1, 100000), (3, 40000),  # long rows spread over the pool in segments
          (4100, 20), (600, 70), (16385, 2),  # column strips of several widths, and columns too tall for them
          (9, 63), (9, 64), (9, 65), (9, 129),  # around the vector groups of the exponential loops
          # rows summed side by side, one per vector lane: groups of 8 and 16
          # that do not divide the row count, rows shorter than a vector
          (37, 7), (21, 13), (45, 300), (1500, 9)]


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_matches_reference(shape, axis):
    x = random_input(shape, seed=shape[0] * 7 + shape[1])
    assert_same_bits(kk.softmax(x, axis), softmax_ref(x, axis))


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("shape", [(40, 50), (101, 99), (300, 33), (200, 300), (4100, 20)], ids=str)
def test_special_values_match_reference(shape, axis):
    x = random_input(shape, seed=3, specials=True)
    assert_same_bits(kk.softmax(x, axis), softmax_ref(x, axis))


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("shape", [(50, 60), (500, 300)], ids=str)
def test_close_to_float64_softmax(shape, axis):
    # Each output is within a few units of rounding, times the lane length
    # for the float32 sum, of softmax computed in float64.
    x = random_input(shape, seed=11).astype(np.float64)
    e = np.exp(x - x.max(axis, keepdims=True))
    exact = e / e.sum(axis, keepdims=True)
    got = kk.softmax(x.astype(np.float32), axis).astype(np.float64)
    lane = shape[axis]
    assert np.all(np.abs(got - exact) <= exact * 2.0**-24 * (lane + 4) + 1e-45)


@pytest.mark.parametrize("lanes, axis, expected", [
    ([[3.5]], 1, [[1.0]]),
    ([[3.5]], 0, [[1.0]]),
    ([[1.0, -2.0, 1e30]], 0, [[1.0, 1.0, 1.0]]),           # columns of one value
    ([[7.0], [-1e30], [0.0]], 1, [[1.0], [1.0], [1.0]]),  # rows of one value
    ([[1000.0, 0.0]], 1, [[1.0, 0.0]]),                  # no overflow
    ([[1000.0], [0.0]], 0, [[1.0], [0.0]]),
], ids=["one", "one-col", "columns-of-one", "rows-of-one", "1000-0", "1000-0-col"])
def test_values_the_rule_fixes(lanes, axis, expected):
    got = kk.softmax(np.array(lanes, np.float32), axis)
    assert_same_bits(got, np.array(expected, np.float32))


@pytest.mark.parametrize("n", [1, 2, 3, 7, 100, 10001])
def test_lane_of_the_seed_value_gives_one_over_length(n):
    x = np.full((2, n), LOWEST, np.float32)
    x[1] = 0.5
    got = kk.softmax(x, 1)
    assert_same_bits(got[0], np.full(n, np.float32(1) / np.float32(n), np.float32))
    assert_same_bits(got[1], np.full(n, np.float32(1) / np.float32(n), np.float32))


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("poison", [np.nan, np.inf, "all -inf"])
@pytest.mark.parametrize("length", [5, 200, 5000, 40000])
def test_poisoned_lanes_are_nan_and_others_unaffected(poison, axis, length):
    x = random_input((4, length), seed=5)
    if poison == "all -inf":
        x[2] = -np.inf
    else:
        x[2, length // 2] = poison
    if axis == 0:
        x = np.ascontiguousarray(x.T)
    got = kk.softmax(x, axis)
    lanes = got if axis == 1 else got.T
    assert np.isnan(lanes[2]).all()
    assert not np.isnan(np.delete(lanes, 2, axis=0)).any()
    assert_same_bits(got, softmax_ref(x, axis))


@pytest.mark.parametrize("axis, same_as", [(0, 0), (-2, 0), (1, 1), (-1, 1), (2, 1), (7, 1),
                                           (-3, 1), (2**63 - 1, 1), (-(2**63), 1)])
@pytest.mark.parametrize("shape", [(9, 13), (120, 130)], ids=str)
def test_axis_normalisation(axis, same_as, shape):
    x = random_input(shape, seed=8)
    assert_same_bits(kk.softmax(x, axis), softmax_ref(x, same_as))


def layouts(base):
    """Views of `base` with other layouts, each with its own contiguous copy."""
    rows, cols = base.shape
    wide = np.zeros((rows, 2 * cols + 3), np.float32)
    wide[:, 1:2 * cols + 1:2] = base
    return {
        "transposed": np.ascontiguousarray(base.T).T,
        "reversed-rows": np.ascontiguousarray(base[::-1])[::-1],
        "reversed-both": np.ascontiguousarray(base[::-1, ::-1])[::-1, ::-1],
        "gapped-columns": wide[:, 1:2 * cols + 1:2],
        "row-slice": np.vstack([base, base])[::2],
        "broadcast-rows": np.broadcast_to(base[:1], base.shape),
        "broadcast-columns": np.broadcast_to(base[:, :1], base.shape),
        "fortran-order": np.asfortranarray(base),
    }


@pytest.mark.parametrize("axis", [0, 1])
# Both paths, and column strips staged in a compact copy (4100 rows).
@pytest.mark.parametrize("shape", [(30, 40), (150, 90), (4100, 20)], ids=str)
@pytest.mark.parametrize("name", list(layouts(np.zeros((2, 2), np.float32))))
def test_any_layout_gives_the_values_of_its_contiguous_copy(name, shape, axis):
    view = layouts(random_input(shape, seed=21))[name]
    assert_same_bits(kk.softmax(view, axis), softmax_ref(np.ascontiguousarray(view), axis))


def test_input_is_not_written():
    x = random_input((200, 300), seed=4)
    before = x.copy()
    kk.softmax(x, 0)
    kk.softmax(x, 1)
    assert_same_bits(x, before)


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0), (0, 20000)], ids=str)
def test_empty(shape, axis):
    got = kk.softmax(np.zeros(shape, np.float32), axis)
    assert got.shape == shape and got.dtype == np.float32 and got.flags.c_contiguous


def test_result_is_a_new_row_major_array():
    x = np.asfortranarray(random_input((20, 30), seed=2))
    got = kk.softmax(x, 0)
    assert got.flags.c_contiguous and got.flags.writeable and got.flags.owndata is False
    assert type(got.base).__name__ == "PySliceContainer"


def _index_error():
    try:
        operator.index(1.5)
    except TypeError as exc:
        return str(exc)


@pytest.mark.parametrize("x, axis, exc, message", [
    (np.zeros(5, np.float32), 1, ValueError, "Input must be a 2D array"),
    (np.zeros((2, 2, 2), np.float32), 0, ValueError, "Input must be a 2D array"),
    (np.zeros((), np.float32), 0, ValueError, "Input must be a 2D array"),
    (np.zeros((2, 2)), 1, TypeError, "argument 'x': type mismatch:\n from=float64, to=float32"),
    # A bad axis is reported before a bad dimensionality.
    (np.zeros((2, 2, 2), np.float32), 1.5, TypeError, "argument 'axis': " + _index_error()),
], ids=["1-D", "3-D", "0-D", "float64", "axis-float-before-3-D"])
def test_failures(x, axis, exc, message):
    with pytest.raises(exc) as info:
        kk.softmax(x, axis)
    assert type(info.value) is exc
    assert str(info.value) == message


# --- every instruction set and thread count gives the same bits -------------

CASES = [((1, 1), 1), ((3, 5), 0), ((33, 47), 1), ((33, 47), 0), ((100, 100), 1),
         ((73, 137), 0), ((73, 137), 1), ((1, 30000), 1), ((30000, 1), 0), ((257, 300), 0),
         ((257, 300), 1), ((128, 129), 1), ((1, 70000), 1), ((2, 40001), 1), ((4100, 20), 0),
         ((9, 65), 0), ((9, 65), 1), ((20, 129), 0),
         # rows side by side in vector lanes, NaN and infinities in some rows
         # of a group, on both paths
         ((37, 7), 1), ((21, 13), 1), ((45, 300), 1), ((1500, 9), 1), ((29, 17), 1)]

DIGEST = """
import hashlib, numpy as np, _kiln_kernels as kk
def random_input(shape, seed):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(shape) * 6).astype(np.float32)
    flat = x.reshape(-1)
    picks = rng.integers(0, flat.size, size=max(1, flat.size // 50))
    values = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e30, -1e30, -3.4028235e38, 88.0,
                       -100.0], np.float32)
    flat[picks] = values[rng.integers(0, values.size, size=picks.size)]
    return x
h = hashlib.sha256()
for shape, axis in CASES:
    x = random_input(shape, seed=shape[0] + shape[1])
    h.update(kk.softmax(x, axis).tobytes())
    h.update(kk.softmax(np.asfortranarray(x)[::-1], axis).tobytes())
print(h.hexdigest())
"""


def digest_here():
    namespace = {"CASES": CASES}
    exec(DIGEST.replace("print(h.hexdigest())", ""), namespace)  # the subprocesses' inputs
    return namespace["h"].hexdigest()


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("isa", ISAS)
def test_same_bits_for_every_isa_and_thread_count(isa, threads):
    proc = run_python(f"CASES = {CASES!r}\n" + DIGEST,
                      env={**isa_env(isa), "RAYON_NUM_THREADS": threads})
    assert proc.stdout.strip() == digest_here()


def test_digest_inputs_match_reference():
    # The subprocess digests above are compared with this process; here this
    # process is compared with the reference on the same inputs.
    namespace = {"CASES": CASES}
    exec(DIGEST.split("h = hashlib")[0], namespace)
    for shape, axis in CASES:
        x = namespace["random_input"](shape, seed=shape[0] + shape[1])
        assert_same_bits(kk.softmax(x, axis), softmax_ref(x, axis))


@pytest.mark.parametrize("threads", ["3", "5", "8"])
def test_long_rows_with_more_workers_than_segments_per_worker(threads):
    # Long rows are split among the workers in shares of whole segments; a
    # row of 9 or 10 segments leaves some of 8 workers without a share.
    shapes = [(1, 36864), (1, 40000), (3, 40000), (1, 100000)]
    code = f"""
import hashlib, numpy as np, _kiln_kernels as kk
h = hashlib.sha256()
for shape in {shapes!r}:
    x = (np.random.default_rng(shape[1]).standard_normal(shape) * 6).astype(np.float32)
    h.update(kk.softmax(x, 1).tobytes())
print(h.hexdigest())
"""
    proc = run_python(code, env={"RAYON_NUM_THREADS": threads})
    h = hashlib.sha256()
    for shape in shapes:
        x = (np.random.default_rng(shape[1]).standard_normal(shape) * 6).astype(np.float32)
        h.update(softmax_ref(x, 1).tobytes())
    assert proc.stdout.strip() == h.hexdigest()
