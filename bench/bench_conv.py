"""conv2d against PyTorch's CPU conv2d (when installed), side by side in one
process with the same thread count. PyTorch is used here only."""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import header, row, side_by_side, worker_count  # noqa: E402

import _kiln_kernels as kk  # noqa: E402


def main() -> None:
    header("conv2d")
    try:
        import torch
        import torch.nn.functional as F
    except ImportError:
        torch = None
        print("torch not installed: timing conv2d alone")
    else:
        torch.set_num_threads(worker_count())
        print(f"torch {torch.__version__}, threads {torch.get_num_threads()}")
    rng = np.random.default_rng(0)
    cases = [
        # N, C, H=W, OC, KH=KW, stride
        (8, 64, 56, 64, 3, 1),
        (1, 3, 224, 64, 7, 2),
        (1, 64, 56, 64, 3, 1),
    ]
    for n, c, hw, oc, kk_size, stride in cases:
        x = rng.standard_normal((n, c, hw, hw), dtype=np.float32)
        w = rng.standard_normal((oc, c, kk_size, kk_size), dtype=np.float32)
        peers = {}
        if torch is not None:
            tx, tw = torch.from_numpy(x), torch.from_numpy(w)
            peers["torch"] = lambda: F.conv2d(tx, tw, stride=stride)
        ours, peers = side_by_side(lambda: kk.conv2d(x, w, stride), peers, limit_in_turns=True)
        oh = (hw - kk_size) // stride + 1
        flops = 2 * n * oc * c * kk_size * kk_size * oh * oh
        row(f"conv N={n} C={c} {hw}x{hw} OC={oc} {kk_size}x{kk_size}/{stride}", ours, peers, flops=flops)


if __name__ == "__main__":
    main()
