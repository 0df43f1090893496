"""Shared helpers for the benchmark scripts.

Every script times our kernel and its peers side by side in one process and
prints medians of several runs and the ratio peer_time / our_time (above 1.0
means we are faster).
"""
from __future__ import annotations

import os
import platform
import subprocess
import sys
import statistics
import time


def side_by_side(ours, peers: dict, *, repeat: int = 9, min_time: float = 0.05,
                 limit_in_turns: bool = False):
    """Median wall time of one call of `ours` and of each peer, in seconds.

    The samples are taken in turns (ours, then each peer, the starting one
    rotating every round), so a slow spell of this shared machine lands on
    every contender alike instead of on whichever was being timed. Each
    sample runs its function enough times to last at least min_time, after
    one untimed call: the pause before every sample (below) lets the cores
    idle, and the first call after it runs on cold caches and a clock still
    rising (2-5% slower on a 1024 or 2048 product, for every contender),
    which a sample of one or a few calls would otherwise count in full.
    With `limit_in_turns`, the register-only loop of tools/peak (every
    worker's core busy) takes a turn in each round too, and the next row()
    also states our rate as a share of that loop's median rate.
    Returns (ours, {peer: median}).
    """
    fns = {"ours": ours, **peers}
    loops = {}
    for name, fn in fns.items():
        fn()  # warm up: page faults, lazy initialisation, caches
        t0 = time.perf_counter()
        fn()
        loops[name] = max(1, int(min_time / max(time.perf_counter() - t0, 1e-7)))
    samples: dict[str, list[float]] = {name: [] for name in fns}
    turns = list(fns) + (["limit"] if limit_in_turns and os.path.exists(_PEAK_TOOL) else [])
    rates: list[float] = []
    for r in range(repeat):
        for name in turns[r % len(turns):] + turns[:r % len(turns)]:
            # PyTorch's OpenMP threads and OpenBLAS's keep spinning for a
            # while after a call; let them go idle first.
            time.sleep(0.25)
            if name == "limit":
                out = subprocess.run([_PEAK_TOOL, "turn", str(worker_count())], capture_output=True,
                                     text=True, check=True).stdout
                rates.append(float(out))
                continue
            fn, n = fns[name], loops[name]
            fn()
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            samples[name].append((time.perf_counter() - t0) / n)
    if rates:
        _cache["turn_limit"] = statistics.median(rates)
    medians = {name: statistics.median(v) for name, v in samples.items()}
    return medians.pop("ours"), medians


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_identity() -> str:
    """The CPU as family, model and name, the key of its section in RESULTS.md."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    return (f"{fields.get('model name', platform.processor() or 'unknown')} "
            f"(family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})")


def vector_extensions() -> str:
    """The vector extensions the CPU reports (a virtual machine may hide some
    of what the same model offers elsewhere, and the kernels follow them)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.partition(":")[2].split())
                    wanted = ["avx2", "fma", "avx512f", "avx512vl", "avx512bw"]
                    return ", ".join(f for f in wanted if f in flags) or "none of avx2, fma, avx512"
    except OSError:
        pass
    return "unknown"


_PEAK_TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "peak", "peak")


def peak_gflops() -> dict[str, float]:
    """The measured floating-point limit of one core, GFLOP/s, per form and
    width ("avx512 mul+add", "avx2 fma", ...), from tools/peak (built by
    `make bench`); empty if the tool is not built. The best of five runs a
    second apart: on a shared machine a spell of another tenant's work can
    slow one run's loops for all of their rounds."""
    if "peak" not in _cache:
        import json

        best: dict[str, float] = {}
        if os.path.exists(_PEAK_TOOL):
            for run in range(5):
                if run:
                    time.sleep(1.0)
                out = subprocess.run([_PEAK_TOOL], capture_output=True, text=True, check=True).stdout
                for line in out.splitlines():
                    if line.startswith("json: "):
                        for form, rate in json.loads(line[len("json: "):]).items():
                            best[form] = max(rate, best.get(form, 0.0))
        _cache["peak"] = best
    return _cache["peak"]


def add_chain_seconds(n: int) -> float | None:
    """Time of one chain of n dependent float32 additions on this CPU (the
    floor of a softmax row of n values, whose sum is taken strictly in
    order), from tools/peak (built by `make bench`); None if not built."""
    if not os.path.exists(_PEAK_TOOL):
        return None
    out = subprocess.run([_PEAK_TOOL, "chain", str(n)], capture_output=True, text=True, check=True).stdout
    return float(out)


def chain_in_turns(ours, n: int, *, repeat: int = 9, min_time: float = 0.05) -> tuple[float, float] | None:
    """Median time of one call of `ours` and of one chain of n dependent
    float32 additions (add_chain_seconds), sampled in turns as side_by_side
    does, so that a slow spell of the machine lands on both alike. None if
    tools/peak is not built."""
    if not os.path.exists(_PEAK_TOOL):
        return None
    ours()
    t0 = time.perf_counter()
    ours()
    loops = max(1, int(min_time / max(time.perf_counter() - t0, 1e-7)))
    mine, chains = [], []
    for r in range(repeat):
        for turn in ((0, 1) if r % 2 == 0 else (1, 0)):
            time.sleep(0.25)
            if turn == 0:
                t0 = time.perf_counter()
                for _ in range(loops):
                    ours()
                mine.append((time.perf_counter() - t0) / loops)
            else:
                chains.append(add_chain_seconds(n))
    return statistics.median(mine), statistics.median(chains)


def no_fma_limit() -> float:
    """The best separate multiply-then-add rate of one core at any width:
    the limit for products whose every step is rounded. The product
    kernel's step does the same multiplies and adds plus loads, so its rate
    bounds the limit from below: when another tenant slowed every run of the
    register-only loop, the step's rate stands in for it."""
    rates = [v for k, v in peak_gflops().items() if k.endswith("mul+add") or k.endswith(" step")]
    return max(rates) if rates else 0.0


_cache: dict = {}


def blas_info() -> str:
    """Which BLAS library and kernel NumPy runs, as threadpoolctl reports it."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    import numpy  # noqa: F401  (loads the BLAS library)

    parts = []
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            parts.append(
                f"{info.get('internal_api')} {info.get('version')} "
                f"kernel={info.get('architecture')} threads={info.get('num_threads')}"
            )
    return "; ".join(parts) or "no BLAS found"


def worker_count() -> int:
    """The pool size our kernels use in this process (same rule as the module)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        text = os.environ.get(name)
        if text is not None:
            t = text[1:] if text.startswith("+") else text
            if t.isdigit() and t.isascii() and int(t) > 0:
                return min(int(t), 65535)
    return len(os.sched_getaffinity(0))


# Every row printed in this process, for the report: dicts with the section
# title, the row label, our time and the peers' times (seconds).
RESULTS: list[dict] = []
_section = {"title": ""}


def header(title: str) -> None:
    _section["title"] = title
    print(f"== {title} ==")
    print(f"cpu: {cpu_model()}, workers: {worker_count()}")
    print(f"numpy BLAS: {blas_info()}")


def row(label: str, ours: float, peers: dict[str, float], flops: float | None = None) -> str:
    """Records and prints one case. With `flops` (floating-point operations of
    one call), also our rate per core and its share of the core's measured
    no-FMA limit."""
    entry = {"section": _section["title"], "label": label, "ours": ours, "peers": dict(peers)}
    cells = [f"{label:<28}", f"ours {ours * 1e3:9.3f} ms"]
    for name, t in peers.items():
        cells.append(f"{name} {t * 1e3:9.3f} ms (ratio {t / ours:5.2f})")
    if flops is not None:
        per_core = flops / ours / 1e9 / worker_count()
        entry["gflops_per_core"] = per_core
        limit = no_fma_limit()
        cells.append(f"{per_core:6.1f} GFLOP/s per core")
        if limit:
            entry["share_of_limit"] = per_core / limit
            cells.append(f"{100 * per_core / limit:5.1f}% of the no-FMA limit")
        turn = _cache.pop("turn_limit", None)
        if turn:
            entry["share_of_turn_limit"] = per_core / turn
            cells.append(f"{100 * per_core / turn:5.1f}% of the loop in turns ({turn:.1f})")
    RESULTS.append(entry)
    line = "  ".join(cells)
    print(line, flush=True)
    return line


def peak_memory_growth_mib(setup: str, call: str) -> float:
    """Growth of peak resident memory, in MiB, over one run of `call`, in a
    fresh process: `setup` (which may use np and kk) runs first, together
    with a small parallel relu that starts the worker pool."""
    code = f"""
import numpy as np, _kiln_kernels as kk
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM'):
            return int(line.split()[1]) / 1024
{setup}
kk.relu(np.ones((200, 200), np.float32))
before = hwm()
r = {call}
print(hwm() - before)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)
