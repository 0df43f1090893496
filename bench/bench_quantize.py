"""quantize_int8 and dequantize_int8 against PyTorch (when installed) and
the NumPy expressions that compute the same values, side by side in one
process."""
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
else:
    import warnings

    # Quantized tensors are deprecated in recent PyTorch but remain the peer.
    warnings.filterwarnings("ignore", message=".*quantize_per_tensor.*")


def numpy_quantize(x):
    m = np.float32(np.nanmax(np.abs(x)))
    scale = m / np.float32(127) if m > 0 else np.float32(1)
    inv = np.float32(1) / scale
    return np.clip(np.round(x * inv), -127, 127).astype(np.int8), scale


def main() -> None:
    header("quantize_int8 / dequantize_int8")
    if torch is not None:
        torch.set_num_threads(worker_count())
        print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    rng = np.random.default_rng(0)
    for shape in [(4096, 4096), (1024, 1024), (100, 100)]:
        x = rng.standard_normal(shape, dtype=np.float32)
        q, scale = kk.quantize_int8(x)
        peers = {}
        if torch is not None:
            t = torch.from_numpy(x)
            peers["torch"] = lambda: torch.quantize_per_tensor(t, scale, 0, torch.qint8)
            peers["torch+max"] = lambda: torch.quantize_per_tensor(t, float(t.abs().max()) / 127, 0,
                                                                   torch.qint8)
        peers["numpy"] = lambda: numpy_quantize(x)
        ours, peers = side_by_side(lambda: kk.quantize_int8(x), peers)
        row(f"quantize {shape[0]}x{shape[1]}", ours, peers)

        s = np.float32(scale)
        peers = {"numpy": lambda: q.astype(np.float32) * s}
        if torch is not None:
            tq = torch.from_numpy(q)
            peers["torch"] = lambda: tq.to(torch.float32) * scale
        ours, peers = side_by_side(lambda: kk.dequantize_int8(q, scale), peers)
        row(f"dequantize {shape[0]}x{shape[1]}", ours, peers)
    grown = peak_memory_growth_mib("x = np.ones((4096, 4096), np.float32)", "kk.quantize_int8(x)")
    print(f"peak memory of quantize_int8 4096x4096: +{grown:.1f} MiB "
          f"(result alone is {4096 * 4096 / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
