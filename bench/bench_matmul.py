"""matmul_kernel against NumPy's a @ b, side by side in one process."""
from __future__ import annotations

import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, median_time, row  # noqa: E402

import _kiln_kernels as kk  # noqa: E402


def peak_memory_mib(n: int) -> tuple[float, float]:
    """Peak resident memory growth of one n x n x n product, in MiB, next to
    the size of the result; measured in a fresh process."""
    code = f"""
import numpy as np, _kiln_kernels as kk
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM'):
            return int(line.split()[1]) / 1024
a = np.ones(({n}, {n}), np.float32)
b = np.ones(({n}, {n}), np.float32)
kk.matmul_kernel(np.ones((200, 200), np.float32), np.ones((200, 200), np.float32))
before = hwm()
c = kk.matmul_kernel(a, b)
print(hwm() - before)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout), n * n * 4 / 2**20


def main() -> None:
    header("matmul_kernel")
    rng = np.random.default_rng(0)
    cases = [(8, 8, 8), (256, 256, 256), (1024, 1024, 1024), (2048, 2048, 2048), (4096, 64, 4096), (540, 1153, 10)]
    for m, k, n in cases:
        a = rng.standard_normal((m, k), dtype=np.float32)
        b = rng.standard_normal((k, n), dtype=np.float32)
        ours = median_time(lambda: kk.matmul_kernel(a, b))
        peer = median_time(lambda: a @ b)
        row(f"matmul {m}x{k} @ {k}x{n}", ours, {"numpy": peer})
        print(f"{'':28}  ours {2 * m * k * n / ours / 1e9:7.1f} GFLOP/s, numpy {2 * m * k * n / peer / 1e9:7.1f} GFLOP/s")
    grown, result = peak_memory_mib(2048)
    print(f"peak memory of matmul 2048: +{grown:.1f} MiB (result alone is {result:.1f} MiB, "
          f"result + two packed copies {3 * result:.1f} MiB)")


if __name__ == "__main__":
    main()
