"""conv2d over a batch of 64 images (64 channels, 56 x 56, 64 filters of
3 x 3) split into blocks of 8 images: in one process, and with
kiln_kernels.dask on local Dask clusters of 1 and 2 worker processes (one
thread and one pool worker each). Prints a table and writes
bench/RESULTS-dask.md.

Every configuration runs on the same data. The in-process times come from a
fresh process per pool size (the pool size is fixed when the pool starts).
On a cluster the images are made and kept on the workers first, so a sample
times building the graph, scheduling the 8 tasks and computing them, with
the results left on the workers; the same cluster also times a graph of 8
tasks that do nothing, which is Dask's own cost per run. The cluster's result
is checked bit for bit against the in-process one.

  python bench/bench_dask.py            (make bench-dask; also part of make bench)
"""
from __future__ import annotations

import datetime
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402

N, C, HW, OC, K, BLOCK = 64, 64, 56, 64, 3, 8
REPEAT = 5   # samples per configuration and round
ROUNDS = 3   # rounds over all configurations, so a slow spell of this shared machine hits each alike
SEED = 11


def image_block(block_id=None):
    """Images [8 b, 8 b + 8) of the batch, the same wherever they are made."""
    b = block_id[0] if block_id is not None else 0
    return np.random.default_rng([SEED, b]).standard_normal((BLOCK, C, HW, HW), dtype=np.float32)


def images():
    return np.concatenate([image_block((b, 0, 0, 0)) for b in range(N // BLOCK)])


def filters():
    return np.random.default_rng(SEED).standard_normal((OC, C, K, K), dtype=np.float32)


def in_process(workers: int):
    """REPEAT times of the whole-batch call, in a fresh process whose pool has
    `workers` workers."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, __file__, "--in-process"], env=env,
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)["seconds"]


def in_process_child():
    import _kiln_kernels as kk

    x, w = images(), filters()
    kk.conv2d(x, w, 1)  # warm up: the pool, page faults
    samples = []
    for _ in range(REPEAT):
        t0 = time.perf_counter()
        kk.conv2d(x, w, 1)
        samples.append(time.perf_counter() - t0)
    print(json.dumps({"seconds": samples}))


def _nothing(block):
    return np.zeros((1, 1, 1, 1), np.float32)


def on_cluster(processes: int, expected):
    """REPEAT samples on a fresh cluster of `processes` worker processes:
    (conv2d times, times of 8 empty tasks, the conv2d tasks' compute time
    summed over the workers), and whether the result has the expected bits."""
    import dask.array as da
    from distributed import Client, LocalCluster, get_task_stream, wait

    import kiln_kernels.dask as kd

    w = filters()
    with LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        x = da.map_blocks(image_block, chunks=((BLOCK,) * (N // BLOCK), (C,), (HW,), (HW,)),
                          dtype=np.float32, meta=np.empty((0, 0, 0, 0), np.float32))
        x = client.persist(x)
        wait(x)

        def _task_count(dask_scheduler):
            return len(dask_scheduler.tasks)

        held = client.run_on_scheduler(_task_count)

        def run(graph):
            """Times of persisting `graph()` until its blocks are in the
            workers' memory, and the compute time of its tasks. After each
            sample the results are released and the scheduler is let forget
            them, so that the next sample computes them again rather than
            finding them."""
            times, computing = [], []
            for _ in range(REPEAT + 1):  # the first one warms up
                with get_task_stream(client) as stream:
                    t0 = time.perf_counter()
                    y = client.persist(graph())
                    wait(y)
                    times.append(time.perf_counter() - t0)
                del y
                while client.run_on_scheduler(_task_count) > held:
                    time.sleep(0.005)
                computing.append(sum(ss["stop"] - ss["start"] for task in stream.data
                                     for ss in task["startstops"] if ss["action"] == "compute"))
            return times[1:], computing[1:]

        t_conv, t_compute = run(lambda: kd.conv2d(x, w, 1))
        t_nothing, _ = run(lambda: x.map_blocks(
            _nothing, chunks=((1,) * (N // BLOCK), 1, 1, 1), dtype=np.float32))
        same = kd.conv2d(x, w, 1).compute().tobytes() == expected.tobytes()
    return t_conv, t_nothing, t_compute, same


def cpu_description() -> str:
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    return (f"{fields.get('model name', common.cpu_model())} "
            f"(family {fields.get('cpu family', '?')}, model {fields.get('model', '?')}), "
            f"{len(os.sched_getaffinity(0))} logical processors")


def main() -> None:
    import _kiln_kernels as kk
    import dask
    import distributed

    title = (f"conv2d, batch {N} x {C} x {HW} x {HW}, {OC} filters {K} x {K}, stride 1, "
             f"blocks of {BLOCK} images")
    print(f"== {title} ==")
    print(f"cpu: {cpu_description()}")
    print(f"dask {dask.__version__}, distributed {distributed.__version__}; "
          f"medians of {ROUNDS * REPEAT} runs", flush=True)
    expected = kk.conv2d(images(), filters(), 1)
    configs = [("in", 1), ("in", 2), ("cluster", 1), ("cluster", 2)]
    samples = {c: ([], [], []) for c in configs}
    same = True
    for r in range(ROUNDS):
        print(f"round {r + 1} of {ROUNDS}", flush=True)
        for kind, count in configs:
            if kind == "in":
                samples[kind, count][0].extend(in_process(count))
            else:
                t_conv, t_nothing, t_compute, ok = on_cluster(count, expected)
                for acc, new in zip(samples[kind, count], (t_conv, t_nothing, t_compute)):
                    acc.extend(new)
                same = same and ok
    rows = []
    for kind, count in configs:
        t, t_nothing, t_compute = (statistics.median(v) if v else None
                                   for v in samples[kind, count])
        label = (f"one process, pool of {count}" if kind == "in" else
                 f"cluster of {count} worker process{'es' if count > 1 else ''}")
        rows.append((label, t, t_nothing, t_compute))
    print(f"{'configuration':<34}{'time ms':>9}{'8 empty tasks ms':>18}{'tasks computing ms':>20}")
    for label, t, t_nothing, t_compute in rows:
        print(f"{label:<34}{t * 1e3:9.1f}"
              + ("" if t_nothing is None else f"{t_nothing * 1e3:18.1f}{t_compute * 1e3:20.1f}"))
    print(f"cluster results against the in-process one: {'bit-identical' if same else 'DIFFERENT'}")
    lines = [
        "# conv2d on a Dask cluster",
        "",
        "Generated by `make bench-dask` (bench/bench_dask.py, also run by `make bench`); "
        "do not edit by hand.",
        "",
        f"- date: {datetime.date.today().isoformat()}",
        f"- CPU: {cpu_description()}",
        f"- dask {dask.__version__}, distributed {distributed.__version__}, NumPy {np.__version__}",
        f"- {title}; every cluster worker process has 1 thread and 1 pool worker "
        "(RAYON_NUM_THREADS=1); the images are made and kept on the workers",
        f"- times are medians of {ROUNDS * REPEAT} runs ({ROUNDS} rounds over all configurations); "
        "\"8 empty tasks\" is a graph of the same shape whose tasks do nothing, on the same "
        "cluster: Dask's own cost per run; \"tasks computing\" is the time the 8 conv2d tasks "
        "spent computing, summed over the workers (Dask's task stream)",
        f"- every cluster result: {'bit-identical' if same else 'DIFFERENT'} to the in-process one",
        "",
        "| configuration | time (ms) | 8 empty tasks (ms) | tasks computing (ms) |",
        "|---|---|---|---|",
    ]
    for label, t, t_nothing, t_compute in rows:
        lines.append(f"| {label} | {t * 1e3:.1f} | "
                     + ("| |" if t_nothing is None else f"{t_nothing * 1e3:.1f} | {t_compute * 1e3:.1f} |"))
    with open(os.path.join(HERE, "RESULTS-dask.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote bench/RESULTS-dask.md")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    if sys.argv[1:] == ["--in-process"]:
        in_process_child()
    else:
        main()
