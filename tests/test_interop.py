"""NumPy arrays across the boundary: acceptance and refusal, read-only holds,
result arrays and their PySliceContainer owner, NumPy import failures and
allocation failure. relu serves as the end-to-end function."""
import os
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _kiln_kernels as kk
from conftest import assert_same_bits, panic_type, run_python
from references import relu_ref

F2 = np.zeros((2, 2), np.float32)


class Outer:
    class Inner:
        pass


class _NoQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class NoQualname(metaclass=_NoQualnameMeta):
    pass


class _IntQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class IntQualname(metaclass=_IntQualnameMeta):
    pass


NOT_CONVERTIBLE = "object cannot be converted to 'PyArray<T, D>'"
REFUSALS = [
    (lambda: kk.relu(np.zeros((2, 2), np.float64)), "argument 'x': type mismatch:\n from=float64, to=float32"),
    (lambda: kk.relu(np.zeros((2, 2), np.int32)), "argument 'x': type mismatch:\n from=int32, to=float32"),
    (lambda: kk.relu(np.zeros((2, 2), ">f4")), "argument 'x': type mismatch:\n from=>f4, to=float32"),
    (lambda: kk.relu(np.zeros((2, 2), np.float16)), "argument 'x': type mismatch:\n from=float16, to=float32"),
    (lambda: kk.relu(np.zeros((2, 2), bool)), "argument 'x': type mismatch:\n from=bool, to=float32"),
    (lambda: kk.relu([[1.0, 2.0]]), f"argument 'x': 'list' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(None), f"argument 'x': 'NoneType' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(np.float32(1.0)), f"argument 'x': 'float32' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(Outer.Inner()), f"argument 'x': 'Outer.Inner' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(NoQualname()), f"argument 'x': '<failed to extract type name>' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(IntQualname()), f"argument 'x': '<failed to extract type name>' {NOT_CONVERTIBLE}"),
    (lambda: kk.relu(memoryview(F2)), f"argument 'x': 'memoryview' {NOT_CONVERTIBLE}"),
    (lambda: kk.matmul_kernel(F2, F2.astype(np.float64)), "argument 'b': type mismatch:\n from=float64, to=float32"),
    (lambda: kk.conv2d("s", F2, 1), f"argument 'input': 'str' {NOT_CONVERTIBLE}"),
    (lambda: kk.conv2d(F2, (1,), 1), f"argument 'kernel': 'tuple' {NOT_CONVERTIBLE}"),
    (lambda: kk.softmax(F2.astype(np.int8), 0), "argument 'x': type mismatch:\n from=int8, to=float32"),
    (lambda: kk.quantize_int8(F2.astype(np.float64)), "argument 'x': type mismatch:\n from=float64, to=float32"),
    (lambda: kk.dequantize_int8(F2, 1.0), "argument 'x': type mismatch:\n from=float32, to=int8"),
    (lambda: kk.dequantize_int8(F2.astype(np.uint8), 1.0), "argument 'x': type mismatch:\n from=uint8, to=int8"),
]


@pytest.mark.parametrize("call, message", REFUSALS, ids=[m for _, m in REFUSALS])
def test_refused_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("dtype", [np.float32, "=f4", np.single,
                                   np.dtype(np.float32, metadata={"unit": "m"})],
                         ids=["float32", "=f4", "single", "with-metadata"])
def test_equivalent_element_types_are_accepted(dtype):
    x = np.array([[-1.5, 2.5], [0.0, 3.0]], dtype)
    r = kk.relu(x)
    assert r.dtype == np.float32
    assert r.tolist() == [[0.0, 2.5], [0.0, 3.0]]


def test_int8_alias_is_accepted_for_dequantize():
    with pytest.raises((ValueError, NotImplementedError)):
        kk.dequantize_int8(np.zeros((1, 2, 2), "b"), 1.0)


NUMPY_2 = np.lib.NumpyVersion(np.__version__) >= "2.0.0"


@pytest.mark.parametrize("shape", [
    pytest.param((), id="0-d"),
    pytest.param((1,) * 40, id="40-axes", marks=pytest.mark.skipif(not NUMPY_2, reason="32 axes at most")),
    pytest.param((1,) * 64, id="64-axes", marks=pytest.mark.skipif(not NUMPY_2, reason="32 axes at most")),
])
def test_any_number_of_axes_reaches_the_kernel(shape):
    x = np.zeros(shape, np.float32)
    with pytest.raises(ValueError) as info:
        kk.relu(x)
    assert type(info.value) is ValueError
    assert str(info.value) == "Input must be a 2D array"


@pytest.mark.parametrize("n", [50, 20000])
def test_byte_strides_that_are_not_whole_elements(n):
    # A byte stride of 6 is not a unit stride: relu refuses it where it needs a
    # flat run (up to 10000 elements) and otherwise reads exactly the elements
    # of NumPy's own view.
    buf = np.arange(2 * n, dtype=np.float32) - n / 2
    x = as_strided(buf, shape=(1, n), strides=(8 * n, 6))
    if n <= 10000:
        with pytest.raises(BaseException, match="Option::unwrap") as info:
            kk.relu(x)
        assert type(info.value).__name__ == "PanicException"
    else:
        assert_same_bits(kk.relu(x), relu_ref(np.array(x)))


def misaligned(x):
    """A copy of x whose data start one byte past an element boundary."""
    raw = np.zeros(x.nbytes + 1, np.uint8)
    y = raw[1:].view(x.dtype).reshape(x.shape)
    y[...] = x
    assert not y.flags.aligned
    return y


def _spread(shape, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) * np.exp2(rng.integers(-8, 8, shape))).astype(np.float32)


_A, _B = _spread((70, 300), 1), _spread((300, 90), 2)
_X, _K = _spread((2, 3, 20, 30), 3), _spread((5, 3, 3, 4), 4)
_S = _spread((150, 90), 5)


@pytest.mark.parametrize("call, args", [
    (kk.matmul_kernel, (misaligned(_A), _B)),
    (kk.matmul_kernel, (_A, misaligned(_B.T.copy()).T)),  # misaligned and transposed
    (kk.matmul_kernel, (misaligned(_A[:, :12]), _B[:12, :5])),  # narrow result, `a` read in place
    (kk.conv2d, (misaligned(_X), _K, 2)),
    (kk.conv2d, (_X, misaligned(_K), 1)),
    (kk.softmax, (misaligned(_S), 1)),
    (kk.softmax, (misaligned(_S[::-1, ::2]), 0)),  # misaligned, reversed and gapped
    (kk.quantize_int8, (misaligned(_S),)),
    (kk.relu, (misaligned(_S[:, ::3]),)),  # gapped: read in place above 10000 elements
], ids=["matmul-a", "matmul-b-transposed", "matmul-narrow", "conv-input", "conv-kernel",
        "softmax-rows", "softmax-columns-reversed", "quantize", "relu-gapped"])
def test_misaligned_arrays_give_the_results_of_aligned_ones(call, args):
    expected = call(*[np.array(a, copy=True) if isinstance(a, np.ndarray) else a for a in args])
    got = call(*args)
    for g, e in zip(got, expected) if isinstance(got, tuple) else [(got, expected)]:
        if isinstance(g, np.ndarray):
            assert_same_bits(g, e)
        else:
            assert g == e


@pytest.mark.parametrize("call, x, aligned", [
    (kk.quantize_int8, misaligned(_S.T.copy()).T, _S.T.copy().T),
    (kk.relu, misaligned(_S)[::-1], _S[::-1]),
], ids=["quantize-transposed", "relu-reversed"])
def test_misaligned_arrays_keep_their_layout_refusals(call, x, aligned):
    with pytest.raises(panic_type()) as info:
        call(x)
    with pytest.raises(panic_type()) as aligned_info:
        call(aligned)
    assert str(info.value) == str(aligned_info.value)


class Sub(np.ndarray):
    pass


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("shape", [(3, 5), (101, 100)])
@pytest.mark.parametrize("kind", ["readonly", "matrix", "subclass", "masked"])
def test_special_inputs_are_accepted(kind, shape):
    data = np.random.default_rng(1).standard_normal(shape).astype(np.float32)
    if kind == "readonly":
        x = data.copy()
        x.flags.writeable = False
    elif kind == "matrix":
        x = np.asmatrix(data)
    elif kind == "subclass":
        x = data.view(Sub)
    else:
        x = np.ma.masked_array(data, mask=data < 0.5)
    r = kk.relu(x)
    assert type(r) is np.ndarray
    assert np.array_equal(r, relu_ref(data))


CONTAINER_DOC = "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap"


@pytest.mark.parametrize("shape", [(1, 1), (7, 9), (100, 100), (73, 137), (0, 5), (5, 0), (0, 0)])
def test_result_array(shape):
    x = np.random.default_rng(2).standard_normal(shape).astype(np.float32)
    before = x.copy()
    r = kk.relu(x)
    assert type(r) is np.ndarray
    assert r.dtype == np.float32 and r.shape == shape
    assert r.flags.writeable and r.flags.c_contiguous and not r.flags.owndata
    assert r is not x and not np.shares_memory(r, x)
    C = type(r.base)
    assert C.__name__ == "PySliceContainer" and C.__qualname__ == "PySliceContainer"
    assert C.__module__ == "builtins"
    assert C.__doc__ == CONTAINER_DOC
    assert C.__bases__ == (object,)
    assert C is type(kk.relu(F2).base)
    r[...] = 7.0
    assert np.array_equal(x.view(np.uint32), before.view(np.uint32))


@pytest.mark.parametrize("args", [(), (1,), ("a", "b")])
def test_container_has_no_constructor(args):
    C = type(kk.relu(F2).base)
    with pytest.raises(TypeError) as info:
        C(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined"


@pytest.mark.parametrize("shape", [(50, 40), (300, 300)])
def test_result_memory_outlives_result_through_views(shape):
    x = np.arange(np.prod(shape), dtype=np.float32).reshape(shape) - 100
    r = kk.relu(x)
    tail = r[1:, ::2]
    del r
    assert np.array_equal(tail, relu_ref(x)[1:, ::2])


def _refcount_cases():
    big = np.ones((101, 100), np.float32)
    i8 = np.ones((3, 4), np.int8)
    return [
        pytest.param(F2.copy(), kk.relu, id="relu-ok"),
        pytest.param(big, kk.relu, id="relu-large-ok"),
        pytest.param(np.zeros((2, 2, 2), np.float32), kk.relu, id="relu-3d"),
        pytest.param(np.zeros((3, 4), np.float32).T, kk.relu, id="relu-transposed"),
        pytest.param(big[::-1], kk.relu, id="relu-large-reversed"),
        pytest.param(F2.copy(), lambda a: kk.matmul_kernel(a, "b"), id="second-array-refused"),
        pytest.param(F2.copy(), lambda a: kk.matmul_kernel(a, a), id="same-array-twice"),
        pytest.param(i8, lambda a: kk.dequantize_int8(a, "s"), id="scale-refused"),
        pytest.param(F2.copy(), lambda a: kk.softmax(a, 1.5), id="axis-refused"),
        pytest.param(np.zeros((1, 1, 2, 2), np.float32), lambda a: kk.conv2d(a, a, -1), id="stride-overflow"),
        pytest.param(np.zeros((1, 1, 2, 2), np.float32), lambda a: kk.conv2d(a, None, 1), id="kernel-refused"),
    ]


@pytest.mark.parametrize("arr, call", _refcount_cases())
def test_holds_are_released(arr, call):
    def outcome():
        try:
            result = call(arr)
        except BaseException as exc:  # noqa: B036 - PanicException included
            return type(exc)
        return type(result)

    first = outcome()
    count = sys.getrefcount(arr)
    for _ in range(50):
        assert outcome() is first  # the same array is usable again at once
    assert sys.getrefcount(arr) == count


def _vm_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * 4096


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="the sanitizer quarantines freed memory; its leak checker covers this run")
@pytest.mark.parametrize("n", [2048, 4096])
def test_result_buffers_are_freed(n, capfd):
    # 16 or 64 MiB per call (heap-sized and mapped blocks). After a warm-up,
    # repeated successful and refused calls must not grow the address space;
    # a leaked block shows there even when its pages were never touched.
    x = np.ones((n, n), np.float32)

    def calls():
        kk.relu(x)
        with pytest.raises(panic_type()):
            kk.relu(x.T)
        with pytest.raises(ValueError):
            kk.relu(x[None])

    # The C heap keeps freed blocks of this size for reuse and settles after
    # a few dozen calls; a leak keeps growing after that.
    for _ in range(100):
        calls()
    start = _vm_bytes()
    for _ in range(20):
        calls()
    assert _vm_bytes() - start < 32 << 20


@pytest.mark.parametrize("shape", [(2**24, 2**24), (2**30, 2**30), (1, 2**60)])
def test_allocation_failure_raises_memory_error(shape):
    # Zero strides: a huge array over one element. Its result cannot be
    # placed in any address space, and the allocation comes before the
    # layout test.
    x = as_strided(np.zeros(1, np.float32), shape=shape, strides=(0, 0))
    count = sys.getrefcount(x)
    with pytest.raises(MemoryError):
        kk.relu(x)
    assert sys.getrefcount(x) == count
    assert kk.relu(np.array([[-1.0, 1.0]], np.float32)).tolist() == [[0.0, 1.0]]


def test_numpy_missing_at_first_call():
    proc = run_python(
        """
        import sys, warnings
        import _kiln_kernels as kk
        names = ("numpy", "numpy.core", "numpy.core.multiarray")
        for name in names:
            sys.modules[name] = None
        for _ in range(2):  # the table is not cached, so each call retries
            try:
                kk.relu([[1.0]])
            except BaseException as exc:
                print(type(exc).__module__, type(exc).__name__, repr(str(exc)), exc.__context__)
        for name in names:
            del sys.modules[name]
        import numpy as np
        warnings.simplefilter("error")  # the table is taken without warnings
        print(kk.relu(np.array([[-1.0, 2.0]], np.float32)).tolist())
        """
    )
    failure = "pyo3_runtime PanicException 'Failed to import NumPy module' None"
    assert proc.stdout.splitlines() == [failure, failure, "[[0.0, 2.0]]"]


def test_numpy_capsule_missing_at_first_call():
    proc = run_python(
        """
        import sys, types
        import numpy as np
        import _kiln_kernels as kk
        real = sys.modules.pop("numpy.core.multiarray", None)
        sys.modules["numpy.core.multiarray"] = types.ModuleType("numpy.core.multiarray")
        try:
            kk.relu(np.ones((1, 1), np.float32))
        except BaseException as exc:
            print(type(exc).__name__, repr(str(exc)))
        del sys.modules["numpy.core.multiarray"]
        if real is not None:
            sys.modules["numpy.core.multiarray"] = real
        print(kk.relu(np.array([[-1.0, 2.0]], np.float32)).tolist())
        """
    )
    assert proc.stdout.splitlines() == ["PanicException 'Failed to get NumPy API capsule'",
                                        "[[0.0, 2.0]]"]
