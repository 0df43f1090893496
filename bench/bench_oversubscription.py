"""The pool's fixed costs, in two sections.

1. More workers than processors: the same calls in one fresh process per
   worker count (RAYON_NUM_THREADS = 2 and 64), so that each process makes
   its pool with that many workers. The ratio is the time with 2 workers over
   the time with 64 (1.0: oversubscription costs nothing).
2. The first sizes on the pool (10001 to 100000 elements), where waking the
   workers costs as much as the work: relu, dequantize_int8 and softmax
   against NumPy and PyTorch (when installed), side by side in this process.

Runnable alone: python bench/bench_oversubscription.py [--only oversubscription|first-sizes].
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import cpu_model, header, row, side_by_side, worker_count  # noqa: E402

import _kiln_kernels as kk  # noqa: E402

try:
    import torch
except ImportError:  # PyTorch is optional
    torch = None

WORKER_COUNTS = (2, 64)

# Run in a child process with RAYON_NUM_THREADS set; prints one JSON object
# of medians (seconds per call).
_CHILD = r"""
import json, statistics, sys, time
import numpy as np
import _kiln_kernels as kk

rng = np.random.default_rng(0)
x = rng.standard_normal((1024, 1024), dtype=np.float32)
row = rng.standard_normal((1, 100000), dtype=np.float32) * np.float32(4)
cases = {
    "relu 1024x1024": lambda: kk.relu(x),
    "softmax 1x100000": lambda: kk.softmax(row, 1),
    "quantize_int8 1024x1024": lambda: kk.quantize_int8(x),
}
repeat, min_time = int(sys.argv[1]), 0.05
out = {}
for name, fn in cases.items():
    fn()
    t0 = time.perf_counter()
    fn()
    loops = max(1, int(min_time / max(time.perf_counter() - t0, 1e-7)))
    samples = []
    for _ in range(repeat):
        time.sleep(0.05)
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        samples.append((time.perf_counter() - t0) / loops)
    out[name] = statistics.median(samples)
print(json.dumps(out))
"""


def _child_times(workers: int, repeat: int) -> dict[str, float]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    proc = subprocess.run([sys.executable, "-c", _CHILD, str(repeat)], env=env,
                          capture_output=True, text=True, check=True, timeout=600)
    return json.loads(proc.stdout)


def oversubscription(rounds: int = 3, repeat: int = 7) -> None:
    """Medians over `rounds` processes per worker count, started in turns."""
    header("pool oversubscription (64 workers against 2)")
    print(f"processors in the affinity mask: {len(os.sched_getaffinity(0))}")
    per_count: dict[int, list[dict[str, float]]] = {w: [] for w in WORKER_COUNTS}
    for r in range(rounds):
        order = WORKER_COUNTS if r % 2 == 0 else WORKER_COUNTS[::-1]
        for w in order:
            per_count[w].append(_child_times(w, repeat))
    few, many = WORKER_COUNTS
    for name in per_count[few][0]:
        t_few = statistics.median(s[name] for s in per_count[few])
        t_many = statistics.median(s[name] for s in per_count[many])
        # "ours" is the oversubscribed pool, the peer the pool that fits.
        row(f"{name}, {many} workers", t_many, {f"{few} workers": t_few})


def numpy_softmax(x, axis):
    e = np.exp(x - x.max(axis, keepdims=True))
    return e / e.sum(axis, keepdims=True)


def first_sizes() -> None:
    header("first sizes on the pool (10001 to 100000 elements)")
    if torch is not None:
        torch.set_num_threads(worker_count())
        print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    rng = np.random.default_rng(0)
    for shape in [(101, 100), (256, 128), (100, 1000)]:
        x = rng.standard_normal(shape, dtype=np.float32)
        q = rng.integers(-127, 128, shape, dtype=np.int8)
        scale = np.float32(0.0125)
        cases = {
            "relu": (lambda: kk.relu(x), {"numpy": lambda: np.maximum(x, 0)},
                     lambda t: (lambda: torch.relu(t)), x),
            "dequantize_int8": (lambda: kk.dequantize_int8(q, float(scale)),
                                {"numpy": lambda: q.astype(np.float32) * scale},
                                lambda t: (lambda: t.float() * float(scale)), q),
            "softmax axis 1": (lambda: kk.softmax(x, 1), {"numpy": lambda: numpy_softmax(x, 1)},
                               lambda t: (lambda: torch.softmax(t, 1)), x),
        }
        for name, (ours, peers, torch_call, data) in cases.items():
            peers = dict(peers)
            if torch is not None:
                peers["torch"] = torch_call(torch.from_numpy(data))
            ours_t, peer_t = side_by_side(ours, peers)
            row(f"{name} {shape[0]}x{shape[1]}", ours_t, peer_t)


def main() -> None:
    oversubscription()
    print(flush=True)
    first_sizes()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=["oversubscription", "first-sizes"], help="run only one section")
    parser.add_argument("--rounds", type=int, default=3, help="processes per worker count (oversubscription)")
    args = parser.parse_args()
    print(f"cpu: {cpu_model()}; started {time.strftime('%H:%M:%S')}")
    if args.only in (None, "oversubscription"):
        oversubscription(rounds=args.rounds)
    if args.only in (None, "first-sizes"):
        first_sizes()
