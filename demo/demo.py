"""A short tour of _kiln_kernels: relu on both of its paths, and how the
module reports problems at the Python boundary."""
from __future__ import annotations

import time

import numpy as np

import _kiln_kernels as kk


def timed(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return out, best


def show(label, fn):
    try:
        result = fn()
        print(f"  {label:<44} -> {result!r}", flush=True)
    except BaseException as exc:  # PanicException derives from BaseException
        text = str(exc).replace("\n", "\\n")
        print(f"  {label:<44} -> {type(exc).__name__}: {text}", flush=True)


def main() -> None:
    rng = np.random.default_rng(0)
    print("relu")
    x = np.array([[1.5, -2.0, np.nan], [-0.0, np.inf, -np.inf]], np.float32)
    print("  input :", x.tolist())
    print("  output:", kk.relu(x).tolist())

    big = rng.standard_normal((4096, 4096), dtype=np.float32)
    ours, t_ours = timed(lambda: kk.relu(big))
    ref, t_np = timed(lambda: np.maximum(big, 0))
    same = np.array_equal(ours.view(np.uint32), ref.view(np.uint32))
    print(f"  4096 x 4096: {t_ours * 1e3:.1f} ms (numpy.maximum {t_np * 1e3:.1f} ms), "
          f"bit-identical to numpy: {same}")

    print("\nthe boundary")
    a = np.ones((2, 3), np.float32)
    show("relu()", lambda: kk.relu())
    show("relu(a, a)", lambda: kk.relu(a, a))
    show("relu(a, y=1)", lambda: kk.relu(a, y=1))
    show("relu(a.astype(float64))", lambda: kk.relu(a.astype(np.float64)))
    show("relu([1.0, 2.0])", lambda: kk.relu([1.0, 2.0]))
    show("relu(np.ones(3, float32))", lambda: kk.relu(np.ones(3, np.float32)))
    show("relu(a.T)  (column-major)", lambda: kk.relu(np.ones((3, 3), np.float32).T))
    show("conv2d(x, k, stride=-1)", lambda: kk.conv2d(a, a, -1))
    show("softmax(a, axis=1.5)", lambda: kk.softmax(a, 1.5))
    r = kk.relu(a)
    print(f"  result owner: {type(r.base).__module__}.{type(r.base).__name__}, "
          f"writeable={r.flags.writeable}, C-contiguous={r.flags.c_contiguous}")


if __name__ == "__main__":
    main()
