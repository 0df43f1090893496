"""kiln_kernels.dask on a real cluster: two worker processes started here.

Every function computed on the cluster, for several chunkings, must give the
bytes of the in-memory call on the whole array; wrong arguments must raise
the in-memory call's exceptions while the graph is built.
"""
import os

import numpy as np
import pytest

from conftest import assert_same_bits, random_float32_bits, run_python
from references import conv_ref, matmul_ref, quantize_ref

if os.environ.get("KILN_SANITIZED") == "1":
    # The workers are separate processes; the sanitized run checks the
    # module in-process in the other test files.
    pytest.skip("the cluster's worker processes do not run sanitized", allow_module_level=True)

import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import _kiln_kernels as kk  # noqa: E402
import kiln_kernels.dask as kd  # noqa: E402

F32 = np.float32
SHAPE = (120, 97)  # 11640 elements: the whole array takes the pool path, blocks do not
CHUNKINGS = {
    "rows": (25, -1),
    "columns": (-1, 30),
    "both": (50, 40),
    "ragged": ((7, 100, 13), (60, 1, 36)),
}


@pytest.fixture(scope="module", autouse=True)
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


def on_cluster(x):
    return x.compute()


def normal(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape, dtype=F32)


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_elementwise_and_softmax(chunks):
    x = random_float32_bits(SHAPE, seed=1)
    dx = da.from_array(x, chunks=chunks)
    assert_same_bits(on_cluster(kd.relu(dx)), kk.relu(x))
    q = random_float32_bits(SHAPE, seed=2).view(np.uint32).astype(np.int8)
    for scale in (0.3, -1e-3):
        assert_same_bits(on_cluster(kd.dequantize_int8(da.from_array(q, chunks=chunks), scale)),
                         kk.dequantize_int8(q, scale))
    y = normal(SHAPE, 3) * F32(30)
    y[5, :9] = np.nan
    dy = da.from_array(y, chunks=chunks)
    for axis in (0, 1, -2):
        assert_same_bits(on_cluster(kd.softmax(dy, axis)), kk.softmax(y, axis))


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_matmul(chunks):
    a, b = normal(SHAPE, 4), normal((SHAPE[1], 91), 5)
    expected = kk.matmul_kernel(a, b)
    assert_same_bits(expected, matmul_ref(a, b))
    got = kd.matmul_kernel(da.from_array(a, chunks=chunks), da.from_array(b, chunks=(20, 33)))
    assert got.chunks[0] == da.from_array(a, chunks=chunks).chunks[0]
    assert_same_bits(on_cluster(got), expected)


@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("chunks", [(2, -1, -1, -1), ((1, 4, 2), 2, 5, 4)], ids=["batch", "ragged-all"])
def test_conv2d(chunks, stride):
    x, w = normal((7, 3, 11, 9), 6), normal((4, 3, 3, 3), 7)
    expected = kk.conv2d(x, w, stride)
    assert_same_bits(expected, conv_ref(x, w, stride))
    got = kd.conv2d(da.from_array(x, chunks=chunks), da.from_array(w, chunks=(3, 2, 2, 2)), stride)
    assert got.chunks[0] == da.from_array(x, chunks=chunks).chunks[0]
    assert_same_bits(on_cluster(got), expected)


def clamp_edge_magnitude():
    """A float32 m whose product with 1 / (m / 127) exceeds 127, so that m
    itself reaches the upper clamp."""
    for m in np.linspace(1, 50, 4000, dtype=F32):
        inv = F32(1) / (m / F32(127))
        if m * inv > F32(127):
            return m
    raise AssertionError("no clamp edge found")


def quantize_inputs():
    halves = np.ascontiguousarray(np.tile(np.array([127, 0.5, -0.5, 1.5, -2.5, 126.5, -126.5, 0.49999997,
                               -127, np.nan, -0.0, 3.5], F32), (SHAPE[0], 9))[:, :SHAPE[1]])
    m = clamp_edge_magnitude()
    edges = normal(SHAPE, 8) * (m / F32(4))
    edges[17, 3], edges[99, 90], edges[50, 50] = m, -m, np.nextafter(m, F32(0))
    edges[60:, 40] = np.nan
    with_inf = normal(SHAPE, 9)
    with_inf[3, 70] = -np.inf
    all_nan = np.full(SHAPE, np.nan, F32)
    # A largest magnitude so small that 1 / scale overflows: whatever the
    # kernel does there, the blocks must do the same.
    tiny = normal(SHAPE, 10) * F32(1e-38)
    return {"halves": halves, "clamp-edges": edges, "infinity": with_inf, "all-nan": all_nan,
            "zeros": np.zeros(SHAPE, F32), "empty": np.zeros((0, 5), F32), "tiny-maximum": tiny}


QUANTIZE_INPUTS = quantize_inputs()


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
@pytest.mark.parametrize("name", QUANTIZE_INPUTS)
def test_quantize(name, chunks):
    x = QUANTIZE_INPUTS[name]
    q, scale = kk.quantize_int8(x)
    if name != "tiny-maximum":
        q_ref, scale_ref = quantize_ref(x)
        assert scale == scale_ref
        assert_same_bits(q, q_ref)
    dq, dscale = kd.quantize_int8(da.from_array(x, chunks=chunks if x.size else -1))
    assert type(dscale) is float and dscale == scale
    assert_same_bits(on_cluster(dq), q)


def _i8(*shape):
    return np.zeros(shape, np.int8)


def _f(*shape, dtype=F32):
    return np.zeros(shape, dtype)


ERROR_CASES = [
    ("relu", (_f(4, 4, dtype=np.float64),)),
    ("relu", (_f(4, 4, 4),)),
    ("softmax", (_f(4, 4), 1.5)),
    ("softmax", (_f(4), 1)),
    ("matmul_kernel", (_f(3, 4), _f(4, 5, dtype=np.float64))),
    ("matmul_kernel", (_f(3, 4), _f(4))),
    ("matmul_kernel", (_f(2, 3), _f(4, 5))),
    ("conv2d", (_f(2, 3, 8, 8), _f(4, 3, 3))),
    ("conv2d", (_f(2, 3, 8, 8), _f(4, 2, 3, 3), 1)),
    ("conv2d", (_f(2, 3, 8, 8), _f(4, 3, 3, 3), -1)),
    ("quantize_int8", (_i8(4, 4),)),
    ("quantize_int8", (_f(2, 4, 4),)),
    ("dequantize_int8", (_f(4, 4), 1.0)),
    ("dequantize_int8", (_i8(4, 4, 1), "1")),
    ("dequantize_int8", (_i8(4, 4, 1), 1.0)),
]


@pytest.mark.parametrize("name,args", ERROR_CASES,
                         ids=[f"{n}-{i}" for i, (n, _) in enumerate(ERROR_CASES)])
def test_errors_when_the_graph_is_built(name, args):
    if name == "conv2d" and len(args) == 2:
        args = args + (1,)
    with pytest.raises(BaseException) as expected:
        getattr(kk, name)(*args)
    lazy = [da.from_array(a, chunks=2) if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(type(expected.value)) as got:
        getattr(kd, name)(*lazy)
    assert type(got.value) is type(expected.value)
    assert str(got.value) == str(expected.value)


def test_package_imports_neither_dask_nor_numpy():
    proc = run_python("""
        import sys
        import kiln_kernels
        assert kiln_kernels.relu.__module__ == "_kiln_kernels"
        print(sorted(m for m in ("dask", "distributed", "numpy") if m in sys.modules))
    """)
    assert proc.stdout.strip() == "[]"
