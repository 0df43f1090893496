"""softmax against torch.softmax (when installed) and the NumPy expression
e = exp(x - max); e / sum(e), side by side in one process."""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (chain_in_turns, header, peak_memory_growth_mib, row, side_by_side,  # noqa: E402
                    worker_count)

import _kiln_kernels as kk  # noqa: E402

try:
    import torch
except ImportError:  # PyTorch is optional
    torch = None


def numpy_softmax(x, axis):
    e = np.exp(x - x.max(axis, keepdims=True))
    return e / e.sum(axis, keepdims=True)


def main() -> None:
    header("softmax")
    if torch is not None:
        torch.set_num_threads(worker_count())
        print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    rng = np.random.default_rng(0)
    # Rows of ordinary length (a batch of class scores, small and square
    # matrices) along both axes, one long row, and the large square.
    cases = [((4096, 4096), 1), ((4096, 4096), 0), ((64, 1000), 1), ((64, 1000), 0), ((100, 100), 1),
             ((100, 100), 0), ((1000, 1000), 1), ((1000, 1000), 0), ((1, 100000), 1)]
    for shape, axis in cases:
        x = rng.standard_normal(shape, dtype=np.float32) * np.float32(4)
        peers = {}
        if torch is not None:
            t = torch.from_numpy(x)
            peers["torch"] = lambda: torch.softmax(t, axis)
        peers["numpy"] = lambda: numpy_softmax(x, axis)
        ours, peers = side_by_side(lambda: kk.softmax(x, axis), peers)
        row(f"softmax {shape[0]}x{shape[1]} axis {axis}", ours, peers)
    # One row's sum is one chain of dependent additions, which no split can
    # shorten: the long row is compared with that chain alone, the two timed
    # in turns.
    x = rng.standard_normal((1, 100000), dtype=np.float32) * np.float32(4)
    turns = chain_in_turns(lambda: kk.softmax(x, 1), 100000)
    if turns is None:
        print("add chain of 100000 floats: not measured (build tools/peak, as `make bench` does)")
    else:
        ours, chain = turns
        row("softmax 1x100000 vs add chain", ours, {"add chain": chain})
        print(f"add chain of 100000 floats: {chain * 1e3:.3f} ms; softmax 1x100000 takes "
              f"{ours / chain:.2f}x the chain (timed in turns)")
    result = 4096 * 4096 * 4 / 2**20
    for axis in (1, 0):
        grown = peak_memory_growth_mib("x = np.ones((4096, 4096), np.float32)", f"kk.softmax(x, {axis})")
        print(f"peak memory of softmax 4096x4096 axis {axis}: +{grown:.1f} MiB "
              f"(result alone is {result:.1f} MiB)")


if __name__ == "__main__":
    main()
