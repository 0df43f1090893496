"""Property-based fuzzing of the six kernels with Hypothesis.

Every generated call either returns exactly what an independent NumPy
reference computes, or raises the documented exception type with the
documented text. The references never call the module.
"""
from __future__ import annotations

import builtins
import collections
import ctypes
import decimal
import fractions
import operator

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import _kiln_kernels as kk
from conftest import FloatRaises, IndexOK, IndexRaises, assert_same_bits
from references import conv_ref, dequantize_ref, matmul_ref, quantize_ref, relu_ref

F32 = np.float32
UNWRAP = "called `Option::unwrap()` on a `None` value"
THRESHOLD = 10000

# Examples run per function (filled in by the properties, shown at the end).
EXAMPLES = collections.Counter()

FUZZ = settings(max_examples=400, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def _report_examples(request):
    class _Summary:
        def pytest_terminal_summary(self, terminalreporter):
            terminalreporter.write_line(
                "fuzz examples per function: "
                + ", ".join(f"{k}={v}" for k, v in sorted(EXAMPLES.items())))
    plugin = _Summary()
    request.config.pluginmanager.register(plugin, "kiln-fuzz-example-counts")
    yield


# ---------------------------------------------------------------- outcomes

class Expected(Exception):
    """The documented failure of a call: exception type name and exact text."""

    def __init__(self, type_name, message):
        super().__init__(type_name, message)
        self.type_name = type_name
        self.message = message


def run_and_check(fn, args, kwargs, expect):
    """`expect` is an Expected (the call must raise it) or a callable that
    checks the returned value."""
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        if not isinstance(expect, Expected):
            raise AssertionError(f"unexpected {type(exc).__name__}: {exc}") from exc
        assert type(exc).__name__ == expect.type_name, (type(exc).__name__, str(exc), expect.message)
        if expect.type_name == "PanicException":
            assert not isinstance(exc, Exception)
        else:
            builtin = getattr(builtins, expect.type_name, None)
            assert builtin is None or type(exc) is builtin
        assert str(exc) == expect.message, (str(exc), expect.message)
        return
    if isinstance(expect, Expected):
        raise AssertionError(f"expected {expect.type_name}: {expect.message!r}, got a result")
    expect(result)


def check_result_array(out):
    assert type(out) is np.ndarray
    assert out.flags.c_contiguous and out.flags.writeable
    assert type(out.base).__name__ == "PySliceContainer"


def assert_bits_any_nan(actual, expected):
    """Bitwise equal, except that any NaN matches any NaN."""
    check_result_array(actual)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    an, en = np.isnan(actual), np.isnan(expected)
    assert np.array_equal(an, en), "NaN positions differ"
    assert_same_bits(np.where(an, F32(0), actual), np.where(en, F32(0), expected))


# ------------------------------------------------------- argument conversion

def convert_array(name, obj, want):
    if not isinstance(obj, np.ndarray):
        raise Expected("TypeError", f"argument '{name}': '{type(obj).__qualname__}' object "
                                    "cannot be converted to 'PyArray<T, D>'")
    if obj.dtype != np.dtype(want):
        raise Expected("TypeError", f"argument '{name}': type mismatch:\n from={obj.dtype}, "
                                    f"to={np.dtype(want)}")
    return np.asarray(obj)  # the plain ndarray view, same strides


def _capi(fname, restype):
    fn = getattr(ctypes.pythonapi, fname)
    fn.argtypes = [ctypes.py_object]
    fn.restype = restype
    return fn


_AS_U64 = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)
_AS_I64 = _capi("PyLong_AsLongLong", ctypes.c_longlong)
_AS_DOUBLE = _capi("PyFloat_AsDouble", ctypes.c_double)


def convert_scalar(name, obj):
    """The interpreter's own conversion, wrapped as the module documents."""
    try:
        if name == "stride":
            return _AS_U64(operator.index(obj))
        if name == "axis":
            return _AS_I64(operator.index(obj))
        return _AS_DOUBLE(obj)
    except BaseException as exc:  # noqa: B036
        if type(exc) is TypeError:
            raise Expected("TypeError", f"argument '{name}': {exc}") from None
        raise Expected(type(exc).__name__, str(exc)) from None


# ------------------------------------------------------------- references

def elem_strides(v):
    return tuple(s // v.itemsize for s in v.strides)


def row_major_run(shape, es):
    r, c = shape
    if r == 0 or c == 0:
        return True
    return (c == 1 or es[1] == 1) and (r == 1 or es[0] == c)


def gap_free(shape, es):
    r, c = shape
    if tuple(es) == ((0, 0) if r == 0 or c == 0 else (c, 1)):
        return True
    order = (0, 1) if abs(es[0]) <= abs(es[1]) else (1, 0)
    prod = 1
    for ax in order:
        if shape[ax] != 1 and abs(es[ax]) != prod:
            return False
        prod *= shape[ax]
    return True


MAX_SEED = F32(-3.4028235e38)


def ref_softmax(x, axis):
    """float32 evaluation of the documented lane formula, with the exponential
    taken in float64 and rounded once."""
    lanes = x.T if axis == 0 else x  # rows of `lanes` are the lanes
    with np.errstate(all="ignore"):
        m = np.max(np.where(lanes > MAX_SEED, lanes, MAX_SEED), axis=1, initial=MAX_SEED)
        d = (lanes - m[:, None]).astype(F32)
        e = np.exp(d.astype(np.float64)).astype(F32)
        s = np.zeros(lanes.shape[0], F32)
        for j in range(lanes.shape[1]):
            s = s + e[:, j]
        r = F32(1) / s
        out = e * r[:, None]
    return np.ascontiguousarray(out.T if axis == 0 else out)


def assert_close_ulps(actual, expected, ulps=4):
    check_result_array(actual)
    assert actual.dtype == F32 and actual.shape == expected.shape
    an, en = np.isnan(actual), np.isnan(expected)
    assert np.array_equal(an, en), "NaN positions differ"
    a, e = actual[~an].astype(np.float64), expected[~en]
    tol = ulps * np.spacing(np.abs(e)).astype(np.float64)
    with np.errstate(invalid="ignore"):
        bad = ~((a == e) | (np.abs(a - e) <= tol))
    assert not bad.any(), (a[bad][:5], e[bad][:5])


# ----------------------------------------------------------- generators

SPECIALS = np.array([0.0, -0.0, 1.0, -1.0, 0.5, -2.5, np.inf, -np.inf, np.nan, -np.nan,
                     1e-45, -1e-45, 1.1754942e-38, 3.4028235e38, -3.4028235e38, 127.0,
                     88.7, -104.0], F32)


def fill(n, dtype, kind, seed):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype) == np.int8:
        return rng.integers(-128, 128, n, dtype=np.int8)
    if kind == "bits":
        return rng.integers(0, 2**32, n, dtype=np.uint32).view(F32)
    if kind == "normal":
        return (rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4)).astype(F32)
    if kind == "ints":
        return rng.integers(-4, 5, n).astype(F32)
    if kind == "halves":  # exact halves once 127 fixes the scale at 1
        return rng.choice(HALVES, n)
    return rng.choice(SPECIALS, n)


HALVES = np.array([127.0, 127.0, -127.0, 0.5, -0.5, 1.5, -2.5, 3.5, 126.5, -126.5, 0.49999997,
                   -0.50000006, 1e-3, 0.0, -0.0, 64.5], F32)


@st.composite
def strided(draw, shape, dtype=F32, finite=False):
    """A view of `shape` over a fresh base buffer with a drawn layout:
    row-major, permuted/reversed (gap-free), or arbitrary element strides
    (negative, zero, gapped, overlapping). Returns (view, base buffer)."""
    nd = len(shape)
    mode = draw(st.sampled_from(["c", "perm", "raw"]))
    if mode == "c":
        es, acc = [0] * nd, 1
        for i in reversed(range(nd)):
            es[i], acc = acc, acc * shape[i]
    elif mode == "perm":
        perm = draw(st.permutations(range(nd)))
        es, acc = [0] * nd, 1
        for i in reversed(perm):
            es[i], acc = acc, acc * shape[i]
        es = [s * draw(st.sampled_from([1, -1])) for s in es]
    else:
        es = [draw(st.integers(-5, 5)) for _ in range(nd)]
    if any(n == 0 for n in shape):
        lo, hi = 0, 0
    else:
        lo = sum(min(0, s * (n - 1)) for s, n in zip(es, shape))
        hi = sum(max(0, s * (n - 1)) for s, n in zip(es, shape))
    kind = draw(st.sampled_from(["ints", "normal"] if finite else ["bits", "halves", "normal", "ints", "special"]))
    base = fill(hi - lo + 1, dtype, kind, draw(st.integers(0, 2**32 - 1)))
    item = np.dtype(dtype).itemsize
    view = as_strided(base[-lo:], shape, [s * item for s in es], writeable=False)
    if draw(st.booleans()):
        view = as_strided(base[-lo:], shape, [s * item for s in es], writeable=True)
    return view, base


class SubArray(np.ndarray):
    pass


class Opaque:
    pass


def wrap(draw, view):
    how = draw(st.sampled_from(["plain", "plain", "sub", "masked", "matrix"]))
    if how == "sub":
        return view.view(SubArray)
    if how == "masked":
        return view.view(np.ma.MaskedArray)
    if how == "matrix" and view.ndim == 2:
        return view.view(np.matrix)
    return view


BAD_DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
              np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
              np.complex128, object, "U3", "S2", "M8[s]", "m8[ms]", "V4", ">f4",
              [("a", "<f4")]]

NON_ARRAYS = [None, 1, 2.5, 1j, "x", b"x", [[1.0, 2.0]], ((1.0,),), {}, set(), range(3),
              F32(1), np.int8(3), np.float64(1.0), memoryview(b"ab"), Opaque(),
              np.dtype(F32), slice(1)]


@st.composite
def foreign(draw, want):
    """A non-array object or an array whose dtype is not `want`."""
    if draw(st.booleans()):
        return draw(st.sampled_from(NON_ARRAYS))
    dt = draw(st.sampled_from([d for d in BAD_DTYPES if np.dtype(d) != np.dtype(want)]))
    nd = draw(st.integers(0, 4))
    return np.zeros(tuple(draw(st.integers(0, 3)) for _ in range(nd)), dt)


def array_arg(draw, shape, dtype=F32, finite=False):
    """Usually a valid array of `shape`; sometimes another axis count or a
    foreign object. Returns (object, base buffer or None)."""
    pick = draw(st.integers(0, 11))  # boundary values are drawn more often
    if pick == 5:
        return draw(foreign(dtype)), None
    if pick == 6:
        shape = tuple(draw(st.integers(0, 3)) for _ in range(draw(st.integers(0, 5))))
    view, base = draw(strided(shape, dtype, finite))
    return wrap(draw, view), base


class MyTypeError(TypeError):
    pass


class IndexRaisesTypeErrorSubclass:
    def __index__(self):
        raise MyTypeError("a TypeError subclass")


class IndexNotInt:
    def __index__(self):
        return "3"


class FloatOK:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class FloatNotFloat:
    def __float__(self):
        return "3.0"


ODD_SCALARS = st.one_of(
    st.integers(-2**70, 2**70),
    st.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -1, 0, 10**400]),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([np.int8(2), np.uint64(2**64 - 1), np.int64(-1), np.int32(1), np.float32(1.0),
                     np.float64(2.5), np.bool_(True), np.float16(np.inf), 1j,
                     fractions.Fraction(1, 3), decimal.Decimal("1.5"), None, "1", b"1", [1]]),
    st.integers(-3, 5).map(IndexOK),
    st.builds(IndexRaises), st.builds(IndexRaisesTypeErrorSubclass), st.builds(IndexNotInt),
    st.floats(-1e40, 1e40).map(FloatOK),
    st.builds(FloatRaises), st.builds(FloatNotFloat),
)


def scalar_arg(draw, usual):
    return draw(ODD_SCALARS) if draw(st.integers(0, 7)) == 4 else draw(usual)


def shape2(draw, big_ok=True):
    if big_ok and draw(st.integers(0, 4)) == 0:
        return draw(st.sampled_from([(101, 100), (100, 101), (1, 10001), (10001, 1), (10000, 1),
                                     (100, 100), (2, 5001)]))
    return (draw(st.integers(0, 6)), draw(st.integers(0, 6)))


def call_style(draw, names, values):
    """All positional or all by keyword in a drawn order."""
    if draw(st.booleans()):
        return tuple(values), {}
    order = draw(st.permutations(range(len(names))))
    return (), {names[i]: values[i] for i in order}


# ------------------------------------------------------- per-function rules

def expect_relu(x):
    v = convert_array("x", x, F32)
    if v.ndim != 2:
        return Expected("ValueError", "Input must be a 2D array")
    es, n = elem_strides(v), v.size
    bad = not row_major_run(v.shape, es)
    if n > THRESHOLD:
        bad = bad and gap_free(v.shape, es)
    if bad:
        return Expected("PanicException", UNWRAP)
    ref = relu_ref(v)
    return lambda out: (check_result_array(out), assert_same_bits(out, ref))


def expect_matmul(a, b):
    va = convert_array("a", a, F32)
    vb = convert_array("b", b, F32)
    if va.ndim != 2 or vb.ndim != 2:
        return Expected("ValueError", "Both inputs must be 2D arrays")
    if va.shape[1] != vb.shape[0]:
        return Expected("ValueError", f"Incompatible shapes for matmul: [{va.shape[0]}, "
                                      f"{va.shape[1]}] and [{vb.shape[0]}, {vb.shape[1]}]")
    ref = matmul_ref(va, vb)
    return lambda out: assert_bits_any_nan(out, ref)


def expect_conv(x, w, stride):
    vx = convert_array("input", x, F32)
    vw = convert_array("kernel", w, F32)
    s = convert_scalar("stride", stride)
    if vx.ndim != 4 or vw.ndim != 4:
        return Expected("ValueError", "Input and kernel must be 4D arrays")
    if s == 0:
        return Expected("PanicException", "attempt to divide by zero")
    n, c, h, wd = vx.shape
    oc, kc, kh, kw = vw.shape
    if kc != c:
        return Expected("ValueError", f"conv2d: kernel has {kc} input channels but input has {c}")
    if h < kh or wd < kw:
        return Expected("ValueError", f"conv2d: kernel {kh}x{kw} is larger than input {h}x{wd}")
    ref = conv_ref(vx, vw, s)
    return lambda out: assert_bits_any_nan(out, ref)


def expect_softmax(x, axis):
    v = convert_array("x", x, F32)
    ax = convert_scalar("axis", axis)
    if v.ndim != 2:
        return Expected("ValueError", "Input must be a 2D array")
    lanes_axis = 0 if (ax + 2 if ax < 0 else ax) == 0 else 1
    ref = ref_softmax(v, lanes_axis)
    dense = np.ascontiguousarray(v)

    def check(out):
        assert_close_ulps(out, ref)
        if not v.flags.c_contiguous:  # the same bits whatever the layout
            assert_bits_any_nan(out, kk.softmax(dense, axis))
    return check


def expect_quantize(x):
    v = convert_array("x", x, F32)
    if v.ndim != 2:
        return Expected("ValueError", "Input must be a 2D array")
    if not row_major_run(v.shape, elem_strides(v)):
        return Expected("PanicException", UNWRAP)
    q_ref, s_ref = quantize_ref(v)

    def check(out):
        assert type(out) is tuple and len(out) == 2
        q, s = out
        check_result_array(q)
        assert_same_bits(q, q_ref)
        assert type(s) is float
        assert s == s_ref or (s != s and s_ref != s_ref), (s, s_ref)
    return check


def expect_dequantize(x, scale):
    v = convert_array("x", x, np.int8)
    s = convert_scalar("scale", scale)
    if v.ndim != 2:
        return Expected("ValueError", "Input must be a 2D array")
    ref = dequantize_ref(v, s)
    return lambda out: assert_bits_any_nan(out, ref)


def expectation(fn, *values):
    try:
        return fn(*values)
    except Expected as exp:
        return exp


def check_call(name, draw, names, values, bases, rule):
    expect = expectation(rule, *values)
    saved = [b.copy() for b in bases if b is not None]
    args, kwargs = call_style(draw, names, values)
    run_and_check(getattr(kk, name), args, kwargs, expect)
    for before, after in zip(saved, [b for b in bases if b is not None]):
        assert_same_bits(after, before)  # inputs are never written
    EXAMPLES[name] += 1


# ------------------------------------------------------------- properties

@FUZZ
@given(st.data())
def _relu(data):
    draw = data.draw
    x, base = array_arg(draw, shape2(draw))
    check_call("relu", draw, ["x"], [x], [base], expect_relu)


@settings(FUZZ, max_examples=300)
@given(st.data())
def _matmul(data):
    draw = data.draw
    big = draw(st.integers(0, 7)) == 0
    m, n = (101, 100) if big else (draw(st.integers(0, 5)), draw(st.integers(0, 5)))
    k = draw(st.integers(0, 3 if big else 6))
    k2 = k if draw(st.integers(0, 5)) else draw(st.integers(0, 6))
    a, ba = array_arg(draw, (m, k))
    b, bb = array_arg(draw, (k2, n))
    check_call("matmul_kernel", draw, ["a", "b"], [a, b], [ba, bb], expect_matmul)


@settings(FUZZ, max_examples=300)
@given(st.data())
def _conv2d(data):
    draw = data.draw
    if draw(st.integers(0, 9)) == 0:  # the product itself goes to the pool
        xs, ws = (draw(st.integers(1, 2)), 1, 72, 72), (2, 1, 2, 2)
    else:
        n, c = draw(st.integers(0, 3)), draw(st.integers(0, 2))
        h, w = draw(st.integers(0, 6)), draw(st.integers(0, 6))
        xs = (n, c, h, w)
        kc = draw(st.integers(0, 3)) if draw(st.integers(0, 7)) == 4 else c
        if draw(st.integers(0, 7)) != 4:
            kh, kw = draw(st.integers(0, h)), draw(st.integers(0, w))
        else:
            kh, kw = draw(st.integers(0, 4)), draw(st.integers(0, 4))
        ws = (draw(st.integers(0, 3)), kc, kh, kw)
    x, bx = array_arg(draw, xs)
    w, bw = array_arg(draw, ws)
    stride = scalar_arg(draw, st.integers(1, 3))
    check_call("conv2d", draw, ["input", "kernel", "stride"], [x, w, stride], [bx, bw], expect_conv)


@settings(FUZZ, max_examples=300)
@given(st.data())
def _softmax(data):
    draw = data.draw
    x, base = array_arg(draw, shape2(draw))
    axis = scalar_arg(draw, st.integers(-3, 3))
    check_call("softmax", draw, ["x", "axis"], [x, axis], [base], expect_softmax)


@FUZZ
@given(st.data())
def _quantize(data):
    draw = data.draw
    x, base = array_arg(draw, shape2(draw))
    check_call("quantize_int8", draw, ["x"], [x], [base], expect_quantize)


@FUZZ
@given(st.data())
def _dequantize(data):
    draw = data.draw
    x, base = array_arg(draw, shape2(draw), dtype=np.int8)
    scale = scalar_arg(draw, st.one_of(st.floats(width=32), st.integers(-3, 3)))
    check_call("dequantize_int8", draw, ["x", "scale"], [x, scale], [base], expect_dequantize)


@pytest.mark.parametrize("name, prop", [
    ("relu", _relu), ("matmul_kernel", _matmul), ("conv2d", _conv2d), ("softmax", _softmax),
    ("quantize_int8", _quantize), ("dequantize_int8", _dequantize)])
def test_fuzz_kernel(name, prop):
    before = EXAMPLES[name]
    prop()
    assert EXAMPLES[name] - before >= 200


# ------------------------------------------------------ argument binding

PARAMS = {
    "matmul_kernel": ["a", "b"],
    "conv2d": ["input", "kernel", "stride"],
    "relu": ["x"],
    "softmax": ["x", "axis"],
    "quantize_int8": ["x"],
    "dequantize_int8": ["x", "scale"],
}
RULES = {"matmul_kernel": expect_matmul, "conv2d": expect_conv, "relu": expect_relu,
         "softmax": expect_softmax, "quantize_int8": expect_quantize,
         "dequantize_int8": expect_dequantize}


def _valid_values(name, draw):
    f = fill(64, F32, draw(st.sampled_from(["ints", "normal"])), draw(st.integers(0, 99)))
    return {
        "matmul_kernel": [f[:6].reshape(2, 3), f[6:18].reshape(3, 4)],
        "conv2d": [f[:50].reshape(2, 1, 5, 5), f[50:58].reshape(2, 1, 2, 2), 2],
        "relu": [f[:12].reshape(3, 4)],
        "softmax": [f[:12].reshape(3, 4), draw(st.integers(-2, 1))],
        "quantize_int8": [f[:12].reshape(4, 3)],
        "dequantize_int8": [np.arange(-6, 6, dtype=np.int8).reshape(3, 4), 0.25],
    }[name]


def _names(items):
    quoted = [f"'{s}'" for s in items]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def expected_binding(name, npos, keys):
    params = PARAMS[name]
    if npos > len(params):
        return (f"{name}() takes {len(params)} positional arguments but {npos} "
                f"{'was' if npos == 1 else 'were'} given")
    filled = set(params[:npos])
    for key in keys:
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'"
        if key in filled:
            return f"{name}() got multiple values for argument '{key}'"
        filled.add(key)
    missing = [p for p in params if p not in filled]
    if missing:
        return (f"{name}() missing {len(missing)} required positional "
                f"{'argument' if len(missing) == 1 else 'arguments'}: {_names(missing)}")
    return None


@settings(FUZZ, max_examples=500)
@given(st.data())
def _binding(data):
    draw = data.draw
    name = draw(st.sampled_from(sorted(PARAMS)))
    params = PARAMS[name]
    values = _valid_values(name, draw)
    npos = draw(st.integers(0, len(params) + 1))
    pos = (values + [Opaque()])[:npos]
    keys = draw(st.lists(st.sampled_from(params + ["y", "X", "self", "strides", "x_"]),
                         unique=True, max_size=4))
    kwargs = {k: values[params.index(k)] if k in params else 1 for k in keys}
    msg = expected_binding(name, npos, keys)
    if msg is not None:
        expect = Expected("TypeError", msg)
    else:
        bound = dict(zip(params, pos)) | kwargs
        expect = expectation(RULES[name], *[bound[p] for p in params])
    run_and_check(getattr(kk, name), tuple(pos), kwargs, expect)
    EXAMPLES["binding"] += 1


def test_fuzz_argument_binding():
    before = EXAMPLES["binding"]
    _binding()
    assert EXAMPLES["binding"] - before >= 300
