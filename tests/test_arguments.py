"""Binding of positional and keyword arguments, scalar conversion and the
wrapping of conversion errors."""
import ctypes
import operator

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import panic_type

F2 = np.zeros((2, 2), np.float32)
F3 = np.zeros((1, 2, 2), np.float32)  # converts, then fails a kernel's dimension check
I3 = np.zeros((1, 2, 2), np.int8)


def _call(name, args, kwargs):
    return getattr(kk, name)(*args, **kwargs)


BINDING_ERRORS = [
    ("relu", (), {}, "relu() missing 1 required positional argument: 'x'"),
    ("relu", (F2, F2), {}, "relu() takes 1 positional arguments but 2 were given"),
    # The positional count is checked before any keyword is looked at.
    ("relu", (F2, F2), {"x": F2}, "relu() takes 1 positional arguments but 2 were given"),
    ("relu", (F2, F2), {"bogus": 1}, "relu() takes 1 positional arguments but 2 were given"),
    ("relu", (F2,), {"x": F2}, "relu() got multiple values for argument 'x'"),
    ("relu", (F2,), {"y": 1}, "relu() got an unexpected keyword argument 'y'"),
    ("relu", (), {"X": F2}, "relu() got an unexpected keyword argument 'X'"),
    # Keywords are processed before the missing check.
    ("relu", (), {"y": 1}, "relu() got an unexpected keyword argument 'y'"),
    ("relu", ("not an array",), {"y": 1}, "relu() got an unexpected keyword argument 'y'"),
    ("relu", (), {"x\u00e9": 1}, "relu() got an unexpected keyword argument 'x\u00e9'"),
    # A key that cannot be encoded as UTF-8 matches nothing; its str() is shown.
    ("relu", (), {"\udce9": 1}, "relu() got an unexpected keyword argument '\udce9'"),
    ("quantize_int8", (), {}, "quantize_int8() missing 1 required positional argument: 'x'"),
    ("quantize_int8", (F2, 1), {}, "quantize_int8() takes 1 positional arguments but 2 were given"),
    ("matmul_kernel", (), {}, "matmul_kernel() missing 2 required positional arguments: 'a' and 'b'"),
    ("matmul_kernel", (), {"b": F2}, "matmul_kernel() missing 1 required positional argument: 'a'"),
    ("matmul_kernel", (F2, F2, F2), {}, "matmul_kernel() takes 2 positional arguments but 3 were given"),
    ("matmul_kernel", (F2,), {"a": F2}, "matmul_kernel() got multiple values for argument 'a'"),
    ("conv2d", (), {},
     "conv2d() missing 3 required positional arguments: 'input', 'kernel', and 'stride'"),
    ("conv2d", (F2,), {}, "conv2d() missing 2 required positional arguments: 'kernel' and 'stride'"),
    ("conv2d", (), {"kernel": F2},
     "conv2d() missing 2 required positional arguments: 'input' and 'stride'"),
    ("conv2d", (F2,), {"stride": 1}, "conv2d() missing 1 required positional argument: 'kernel'"),
    ("conv2d", (F2, F2, 1, 1), {}, "conv2d() takes 3 positional arguments but 4 were given"),
    ("conv2d", (F2, F2), {"strides": 1}, "conv2d() got an unexpected keyword argument 'strides'"),
    ("softmax", (), {"x": F2}, "softmax() missing 1 required positional argument: 'axis'"),
    ("softmax", (F2, 0), {"axis": 0}, "softmax() got multiple values for argument 'axis'"),
    # The first offending key in dictionary order is the one reported.
    ("softmax", (F2,), {"y": 1, "x": F2}, "softmax() got an unexpected keyword argument 'y'"),
    ("softmax", (F2,), {"x": F2, "y": 1}, "softmax() got multiple values for argument 'x'"),
    ("dequantize_int8", (), {}, "dequantize_int8() missing 2 required positional arguments: 'x' and 'scale'"),
    ("dequantize_int8", (), {"scale": 1.0},
     "dequantize_int8() missing 1 required positional argument: 'x'"),
    ("dequantize_int8", (I3, 1.0, 2), {}, "dequantize_int8() takes 2 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS,
                         ids=[m.encode("ascii", "backslashreplace").decode() for *_, m in BINDING_ERRORS])
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call(name, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("name, args, kwargs", [
    ("relu", (), {"x": F3}),
    ("softmax", (F3,), {"axis": 0}),
    ("softmax", (), {"axis": 0, "x": F3}),
    ("conv2d", (), {"stride": 1, "kernel": F3, "input": F3}),
    ("dequantize_int8", (), {"scale": 1.0, "x": I3}),
    ("matmul_kernel", (), {"b": F3, "a": F3}),
    ("quantize_int8", (), {"x": F3}),
])
def test_every_parameter_binds_by_keyword(name, args, kwargs):
    # Conversion succeeds, so the call gets as far as the kernel, which
    # refuses the 3-D array (or is not built yet).
    with pytest.raises((ValueError, NotImplementedError)):
        _call(name, args, kwargs)


class ShownKey(str):
    def __str__(self):
        return "shown"


def test_keyword_matching_uses_text_and_message_uses_str():
    x = np.array([[-1.0, 2.0]], np.float32)
    assert kk.relu(**{ShownKey("x"): x}).tolist() == [[0.0, 2.0]]
    with pytest.raises(TypeError) as info:
        kk.relu(**{ShownKey("y"): x})
    assert str(info.value) == "relu() got an unexpected keyword argument 'shown'"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {1: 2}, "'int' object cannot be converted to 'PyString'"),
    ((F2,), {b"x": 1}, "'bytes' object cannot be converted to 'PyString'"),
    ((), {"x": F2, 1.5: 2}, "'float' object cannot be converted to 'PyString'"),
])
def test_keyword_that_is_not_a_str(args, kwargs, message):
    # Only reachable from C: the interpreter refuses such keys in Python calls.
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError) as info:
        call(kk.relu, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_relu_by_keyword_returns_result():
    x = np.array([[-1.0, 2.0]], np.float32)
    assert kk.relu(x=x).tolist() == [[0.0, 2.0]]


# --- scalar conversion --------------------------------------------------------

def _capi(name, restype):
    fn = getattr(ctypes.pythonapi, name)
    fn.argtypes = [ctypes.py_object]
    fn.restype = restype
    return fn


# The interpreter's own conversions, called directly: the oracle for what
# the module must accept and for the text of what it refuses.
REFERENCE = {
    "stride": lambda v: _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)(operator.index(v)),
    "axis": lambda v: _capi("PyLong_AsLongLong", ctypes.c_longlong)(operator.index(v)),
    "scale": lambda v: _capi("PyFloat_AsDouble", ctypes.c_double)(v),
}
CALLS = {
    "stride": lambda v: kk.conv2d(F3, F3, v),
    "axis": lambda v: kk.softmax(F3, v),
    "scale": lambda v: kk.dequantize_int8(I3, v),
}


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Float:
    def __float__(self):
        return -1.0

    def __repr__(self):
        return "Float(-1.0)"


SCALARS = [
    ("stride", 3), ("stride", 0), ("stride", True), ("stride", 2**64 - 1),
    ("stride", np.uint64(2**64 - 1)), ("stride", Index(7)),
    ("stride", -1), ("stride", 2**64), ("stride", Index(-5)),
    ("stride", 1.5), ("stride", 1.0), ("stride", "3"), ("stride", None),
    ("stride", np.float32(2)), ("stride", Index("x")),
    ("axis", 0), ("axis", -1), ("axis", 2**63 - 1), ("axis", -(2**63)), ("axis", np.int8(-1)),
    ("axis", Index(-1)), ("axis", 2**63), ("axis", -(2**63) - 1), ("axis", 1.5), ("axis", "1"),
    ("scale", 1), ("scale", -1), ("scale", -1.0), ("scale", 0.5), ("scale", np.float32(2)),
    ("scale", float("nan")), ("scale", 1e300), ("scale", Float()), ("scale", Index(3)),
    ("scale", 2**1100), ("scale", "s"), ("scale", None), ("scale", 1j), ("scale", [1.0]),
]


@pytest.mark.parametrize("param, value", SCALARS,
                         ids=[f"{p}={v!r}" for p, v in SCALARS])
def test_scalar_conversion(param, value):
    try:
        REFERENCE[param](value)
        expected = None
    except Exception as exc:  # the interpreter's refusal
        expected = exc
    if expected is None:
        # Accepted (including each converter's error value): the call goes on
        # to the kernel, which refuses the 3-D array or is not built yet.
        with pytest.raises((ValueError, NotImplementedError)):
            CALLS[param](value)
        return
    with pytest.raises(type(expected)) as info:
        CALLS[param](value)
    got = info.value
    assert type(got) is type(expected)
    if type(expected) is TypeError:
        assert str(got) == f"argument '{param}': {expected}"
    else:  # OverflowError passes through without a prefix
        assert str(got) == str(expected)
    assert got.__cause__ is None
    assert got.__context__ is None


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [MyTypeError("sub"), ValueError("v"), OverflowError("o"),
                                 KeyError("k")], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("param", ["stride", "axis", "scale"])
def test_other_exceptions_pass_unchanged(param, exc):
    with pytest.raises(BaseException) as info:
        CALLS[param](Raising(exc))
    assert info.value is exc
    assert str(info.value) == str(exc)


def test_wrapped_type_error_keeps_cause_of_original():
    cause = KeyError("why")
    original = TypeError("inner")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        CALLS["stride"](Raising(original))
    assert info.value is not original
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'stride': inner"
    assert info.value.__cause__ is cause


def test_array_arguments_convert_before_scalars_in_slot_order():
    f64 = np.zeros((1, 2, 2), np.float64)
    with pytest.raises(TypeError, match="^argument 'input': "):
        kk.conv2d(f64, "k", -1)
    with pytest.raises(TypeError, match="^argument 'kernel': "):
        kk.conv2d(F3, "k", -1)
    with pytest.raises(OverflowError):
        kk.conv2d(F3, F3, -1)
    # A bad scalar is reported before the kernel's dimensionality check.
    with pytest.raises(TypeError, match="^argument 'axis': "):
        kk.softmax(F3, 1.5)
    with pytest.raises(TypeError, match="^argument 'scale': "):
        kk.dequantize_int8(I3, "s")
    with pytest.raises(TypeError, match="^argument 'x': "):
        kk.dequantize_int8(F2, "s")


@pytest.mark.parametrize("param", ["stride", "scale"])
def test_panic_raised_by_python_code_is_resumed(param, capfd):
    T = panic_type()
    capfd.readouterr()
    with pytest.raises(T) as info:
        CALLS[param](Raising(T("boom")))
    assert type(info.value) is T
    # The value taken from Python is the exception object, not a str.
    assert str(info.value) == "Unwrapped panic from Python code"
    err = capfd.readouterr().err
    head = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n")
    assert head in err
    # The original is printed (as a traceback) after those two lines.
    assert "PanicException: boom" in err[err.index(head):]
    # The module stays usable.
    assert kk.relu(np.ones((1, 1), np.float32)).tolist() == [[1.0]]
