"""The module object: its doc, __all__, the six functions' attributes, the
PanicException type and the once-per-process initialisation guard."""
import inspect

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import panic_type, run_python

FUNCTIONS = [
    ("matmul_kernel",
     "Matrix multiplication kernel.\n\nComputes the matrix multiplication of two 2D arrays."),
    ("conv2d",
     "2D convolution kernel.\n\nComputes the 2D convolution of an input tensor with a kernel."),
    ("relu",
     "ReLU activation function.\n\nApplies the rectified linear unit function element-wise: max(0, x)"),
    ("softmax",
     "Softmax activation function.\n\nApplies the softmax function along the specified axis."),
    ("quantize_int8",
     "Quantize a matrix to INT8.\n\nQuantizes a floating-point matrix to INT8 format."),
    ("dequantize_int8",
     "Dequantize an INT8 matrix.\n\nDequantizes an INT8 matrix back to floating point."),
]

PANIC_DOC = (
    "\nThe exception raised when Kiln code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_module_doc_and_all():
    assert kk.__doc__ == "Register Python module."
    assert kk.__name__ == "_kiln_kernels"
    assert type(kk.__all__) is list
    assert kk.__all__ == [name for name, _ in FUNCTIONS]
    public = sorted(n for n in dir(kk) if not n.startswith("_"))
    assert public == sorted(kk.__all__)


@pytest.mark.parametrize("name, doc", FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
def test_function_attributes(name, doc):
    fn = getattr(kk, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__doc__ == doc
    assert fn.__module__ == "_kiln_kernels"
    assert fn.__self__ is kk
    assert fn.__text_signature__ is None
    with pytest.raises(ValueError):
        inspect.signature(fn)


def test_panic_exception_type():
    assert not hasattr(kk, "PanicException")
    T = panic_type()
    assert T.__module__ == "pyo3_runtime"
    assert T.__name__ == "PanicException"
    assert T.__qualname__ == "PanicException"
    assert T.__doc__ == PANIC_DOC and len(PANIC_DOC) == 235
    assert T.__bases__ == (BaseException,)
    assert not issubclass(T, Exception)
    # One type per process: every internal failure uses the same one.
    with pytest.raises(BaseException) as info:
        kk.relu(np.zeros((4, 4), np.float32)[:, ::-1])
    assert type(info.value) is T


def test_panic_exception_escapes_except_exception():
    caught_by = None
    try:
        try:
            kk.relu(np.zeros((3, 3), np.float32).T)
        except Exception:
            caught_by = "Exception"
    except BaseException as exc:
        caught_by = type(exc).__name__
    assert caught_by == "PanicException"


def test_import_does_not_import_numpy():
    proc = run_python(
        """
        import sys
        import _kiln_kernels
        print(sorted(m for m in sys.modules if m == "numpy" or m.startswith("numpy.")))
        """
    )
    assert proc.stdout.strip() == "[]"


def test_second_initialisation_is_refused():
    # CPython caches single-phase modules, so the entry point is called again
    # directly. The refusal must leave the loaded module working.
    proc = run_python(
        """
        import ctypes
        import numpy as np
        import _kiln_kernels as kk

        init = ctypes.PyDLL(kk.__file__).PyInit__kiln_kernels
        init.restype = ctypes.py_object
        for _ in range(2):
            try:
                init()
            except ImportError as exc:
                assert type(exc) is ImportError, type(exc)
                print(str(exc))
            else:
                print("no error")
        print(kk.relu(np.array([[-1.0, 2.0]], np.float32)).tolist())
        """
    )
    msg = "PyO3 modules may only be initialized once per interpreter process"
    assert proc.stdout.splitlines() == [msg, msg, "[[0.0, 2.0]]"]
