"""matmul_kernel against NumPy's a @ b, side by side in one process."""
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
    header("matmul_kernel")
    if torch is not None:
        torch.set_num_threads(worker_count())
    rng = np.random.default_rng(0)
    cases = [(8, 8, 8), (256, 256, 256), (1024, 1024, 1024), (2048, 2048, 2048), (4096, 64, 4096), (540, 1153, 10)]
    for m, k, n in cases:
        a = rng.standard_normal((m, k), dtype=np.float32)
        b = rng.standard_normal((k, n), dtype=np.float32)
        peers = {"numpy": lambda: a @ b}
        if torch is not None:
            ta, tb = torch.from_numpy(a), torch.from_numpy(b)
            peers["torch"] = lambda: torch.matmul(ta, tb)
        ours, peers = side_by_side(lambda: kk.matmul_kernel(a, b), peers, limit_in_turns=True)
        peer = peers["numpy"]
        row(f"matmul {m}x{k} @ {k}x{n}", ours, peers, flops=2 * m * k * n)
        print(f"{'':28}  numpy {2 * m * k * n / peer / 1e9 / worker_count():7.1f} GFLOP/s per core")
    grown = peak_memory_growth_mib(
        "a = np.ones((2048, 2048), np.float32); b = np.ones((2048, 2048), np.float32)",
        "kk.matmul_kernel(a, b)")
    result = 2048 * 2048 * 4 / 2**20
    print(f"peak memory of matmul 2048: +{grown:.1f} MiB (result alone is {result:.1f} MiB, "
          f"result + two packed copies {3 * result:.1f} MiB)")


if __name__ == "__main__":
    main()
