"""relu against np.maximum(x, 0), side by side in one process."""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, peak_memory_growth_mib, row, side_by_side, worker_count  # noqa: E402

import _kiln_kernels as kk  # noqa: E402

try:
    import torch
except ImportError:  # PyTorch is optional
    torch = None


def main() -> None:
    header("relu")
    if torch is not None:
        torch.set_num_threads(worker_count())
    rng = np.random.default_rng(0)
    for shape in [(10, 10), (100, 100), (101, 100), (512, 512), (1024, 1024), (4096, 4096)]:
        x = rng.standard_normal(shape, dtype=np.float32)
        peers = {"numpy": lambda: np.maximum(x, 0)}
        if torch is not None:
            t = torch.from_numpy(x)
            peers["torch"] = lambda: torch.relu(t)
        ours, peers = side_by_side(lambda: kk.relu(x), peers)
        row(f"relu {shape[0]}x{shape[1]}", ours, peers)
    grown = peak_memory_growth_mib("x = np.ones((4096, 4096), np.float32)", "kk.relu(x)")
    result = 4096 * 4096 * 4 / 2**20
    print(f"peak memory of relu 4096x4096: +{grown:.1f} MiB (result alone is {result:.1f} MiB)")


if __name__ == "__main__":
    main()
