"""Digit recognition with the six kernels of _kiln_kernels.

A small convolutional classifier for the 8 x 8 handwritten digits that
scikit-learn ships with its package (no download):

  features = relu(conv2d(images, a fixed bank of random 3 x 3 filters))
  logits   = matmul_kernel(features, read-out weights)
  classes  = argmax(softmax(logits, axis=1))

The read-out is fitted once with NumPy's least squares (with a small ridge
term) on a training split.
The test split is then classified twice: with float32 weights, and with the
weights passed through quantize_int8 and dequantize_int8. The demo prints the
accuracy of both, the time of every kernel against its NumPy (and, when
installed, PyTorch) equivalent, and checks that the logits are bit-identical
with one worker and with all workers. Finally it runs the same inference with
kiln_kernels.dask over the test images as a Dask array, on a local cluster of
two worker processes, and checks that those logits are bit-identical to the
in-process ones.
"""
from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import time

import numpy as np

import _kiln_kernels as kk

SEED = 7
FILTERS = 32


def load():
    # Imported here: the cluster's worker processes import this file too.
    from sklearn.datasets import load_digits

    digits = load_digits()
    images = (digits.images / 16.0).astype(np.float32)[:, None, :, :]  # (N, 1, 8, 8)
    labels = digits.target
    order = np.random.default_rng(SEED).permutation(len(labels))
    split = int(0.7 * len(labels))
    train, test = order[:split], order[split:]
    return images[train], labels[train], images[test], labels[test]


def filter_bank():
    rng = np.random.default_rng(SEED)
    return rng.standard_normal((FILTERS, 1, 3, 3), dtype=np.float32)


def features(images, filters):
    maps = kk.conv2d(images, filters, 1)                   # (N, F, 6, 6)
    flat = maps.reshape(len(images), -1)                   # a view, row-major
    feats = kk.relu(flat)
    ones = np.ones((len(images), 1), np.float32)           # bias column
    return np.concatenate([feats, ones], axis=1)


def fit_readout(feats, labels, ridge=1.0):
    """Least squares with a small ridge term, which keeps the weights small
    and well spread, as INT8 quantization needs."""
    x = feats.astype(np.float64)
    targets = np.eye(10, dtype=np.float64)[labels]
    gram = x.T @ x + ridge * np.eye(x.shape[1])
    weights = np.linalg.lstsq(gram, x.T @ targets, rcond=None)[0]
    return weights.astype(np.float32)


def logits_digest() -> str:
    """Logits of the whole pipeline (float32 and INT8 weights), hashed."""
    xtr, ytr, xte, _ = load()
    filters = filter_bank()
    w = fit_readout(features(xtr, filters), ytr)
    fte = features(xte, filters)
    q, scale = kk.quantize_int8(w)
    h = hashlib.sha256()
    for weights in (w, kk.dequantize_int8(q, scale)):
        h.update(kk.softmax(kk.matmul_kernel(fte, weights), 1).tobytes())
    return h.hexdigest()


def cluster_inference(xte, filters, w, logits32, logits8, blocks=4):
    """The same inference over the test images as a Dask array split into
    `blocks` blocks of images, on a local cluster of two worker processes.
    Returns (bit-identical?, seconds to start the cluster, seconds to compute)."""
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster

    import kiln_kernels.dask as kd

    t0 = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        t1 = time.perf_counter()
        images = da.from_array(xte, chunks=(-(-len(xte) // blocks), -1, -1, -1))
        maps = kd.conv2d(images, filters, 1)
        feats = kd.relu(maps.reshape(len(xte), -1))
        ones = da.ones((len(xte), 1), dtype=np.float32, chunks=(feats.chunks[0], 1))
        fte = da.concatenate([feats, ones], axis=1)
        q, scale = kd.quantize_int8(da.from_array(w))
        w8 = kd.dequantize_int8(q, scale)
        got32, got8 = dask.compute(kd.matmul_kernel(fte, w), kd.matmul_kernel(fte, w8))
        t2 = time.perf_counter()
    same = got32.tobytes() == logits32.tobytes() and got8.tobytes() == logits8.tobytes()
    return same, t1 - t0, t2 - t1


# --- timing ---------------------------------------------------------------

def median_ms(fn, repeat=7, min_time=0.02):
    """Median over `repeat` samples of the mean time of one call, each sample
    running enough calls to last min_time seconds."""
    fn()
    t0 = time.perf_counter()
    fn()
    loops = max(1, int(min_time / max(time.perf_counter() - t0, 1e-7)))
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        times.append((time.perf_counter() - t0) / loops)
    return 1e3 * sorted(times)[len(times) // 2]


def numpy_conv2d(x, w, stride):
    win = np.lib.stride_tricks.sliding_window_view(x, w.shape[2:], axis=(2, 3))
    win = win[:, :, ::stride, ::stride]
    return np.tensordot(win, w, axes=([1, 4, 5], [1, 2, 3])).transpose(0, 3, 1, 2)


def numpy_softmax(x, axis):
    e = np.exp(x - x.max(axis, keepdims=True))
    return e / e.sum(axis, keepdims=True)


def numpy_quantize(x):
    m = np.abs(x).max()
    scale = np.float32(m / np.float32(127)) if m > 0 else np.float32(1)
    return np.clip(np.round(x * (np.float32(1) / scale)), -127, 127).astype(np.int8), scale


def torch_peers(workers):
    try:
        import torch
    except ImportError:
        return None
    import warnings

    # Quantized tensors are deprecated in recent PyTorch; they are still the
    # peer to compare with, so the deprecation notice is not shown.
    warnings.filterwarnings("ignore", message=".*quantize_per_tensor.*")
    torch.set_num_threads(workers)
    import torch.nn.functional as F

    def quant(t):
        scale = float(t.abs().max()) / 127
        return torch.quantize_per_tensor(t, scale, 0, torch.qint8)

    return {
        "conv2d": lambda x, w: F.conv2d(x, w, stride=1),
        "relu": torch.relu,
        "matmul_kernel": torch.matmul,
        "softmax": lambda x: torch.softmax(x, 1),
        "quantize_int8": quant,
        "dequantize_int8": lambda q: q.dequantize(),
        "from_numpy": torch.from_numpy,
    }


def timing_rows(xte, filters, w, fte, workers):
    maps = kk.conv2d(xte, filters, 1).reshape(len(xte), -1)
    logits = kk.matmul_kernel(fte, w)
    q, scale = kk.quantize_int8(w)
    big = np.random.default_rng(SEED).standard_normal((1024, 1024), dtype=np.float32)
    qbig, sbig = kk.quantize_int8(big)
    cases = [
        ("conv2d", f"{xte.shape} * {filters.shape}",
         lambda: kk.conv2d(xte, filters, 1), lambda: numpy_conv2d(xte, filters, 1), ("conv2d", xte, filters)),
        ("relu", f"{maps.shape}", lambda: kk.relu(maps), lambda: np.maximum(maps, 0), ("relu", maps)),
        ("matmul_kernel", f"{fte.shape} @ {w.shape}",
         lambda: kk.matmul_kernel(fte, w), lambda: fte @ w, ("matmul_kernel", fte, w)),
        ("softmax", f"{logits.shape}", lambda: kk.softmax(logits, 1),
         lambda: numpy_softmax(logits, 1), ("softmax", logits)),
        ("quantize_int8", f"{big.shape}", lambda: kk.quantize_int8(big),
         lambda: numpy_quantize(big), ("quantize_int8", big)),
        ("dequantize_int8", f"{qbig.shape}", lambda: kk.dequantize_int8(qbig, sbig),
         lambda: qbig.astype(np.float32) * np.float32(sbig), None),
    ]
    torch = torch_peers(workers)
    rows = []
    for name, shape, ours, peer, tcase in cases:
        t_ours, t_np = median_ms(ours), median_ms(peer)
        t_torch = None
        if torch is not None and tcase is not None:
            args = [torch["from_numpy"](np.ascontiguousarray(a)) for a in tcase[1:]]
            t_torch = median_ms(lambda: torch[tcase[0]](*args))
        elif torch is not None and name == "dequantize_int8":
            tq = torch["quantize_int8"](torch["from_numpy"](big))
            t_torch = median_ms(lambda: torch["dequantize_int8"](tq))
        rows.append((name, shape, t_ours, t_np, t_torch))
    return rows


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--digest":
        print(logits_digest())
        return

    t_start = time.perf_counter()
    xtr, ytr, xte, yte = load()
    filters = filter_bank()
    w = fit_readout(features(xtr, filters), ytr)
    fte = features(xte, filters)

    logits32 = kk.matmul_kernel(fte, w)
    probs = kk.softmax(logits32, 1)
    acc32 = float(np.mean(probs.argmax(1) == yte))
    q, scale = kk.quantize_int8(w)
    w8 = kk.dequantize_int8(q, scale)
    logits8 = kk.matmul_kernel(fte, w8)
    probs8 = kk.softmax(logits8, 1)
    acc8 = float(np.mean(probs8.argmax(1) == yte))

    workers = None
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        v = os.environ.get(name, "")
        if v.lstrip("+").isdigit() and int(v) > 0:
            workers = int(v)
            break
    workers = workers or len(os.sched_getaffinity(0))

    print(f"Handwritten digits: {len(ytr)} training and {len(yte)} test images of 8 x 8 pixels")
    print(f"Features: relu(conv2d) with {FILTERS} random 3 x 3 filters -> {fte.shape[1]} per image\n")
    print(f"{'weights':<22}{'test accuracy':>14}")
    print(f"{'float32':<22}{acc32:>13.1%}")
    print(f"{'INT8 (scale %.3g)' % scale:<22}{acc8:>13.1%}")
    agree = float(np.mean(probs.argmax(1) == probs8.argmax(1)))
    print(f"float32 and INT8 predictions agree on {agree:.1%} of the test images\n")

    rows = timing_rows(xte, filters, w, fte, workers)
    have_torch = any(r[4] is not None for r in rows)
    head = f"{'kernel':<16}{'shape':<30}{'ours ms':>9}{'numpy ms':>10}{'ratio':>7}"
    if have_torch:
        head += f"{'torch ms':>10}{'ratio':>7}"
    print(f"Kernel times, median of 7 runs, {workers} worker(s); ratio = peer time / our time")
    print(head)
    for name, shape, t_ours, t_np, t_torch in rows:
        line = f"{name:<16}{shape:<30}{t_ours:>9.3f}{t_np:>10.3f}{t_np / t_ours:>7.2f}"
        if have_torch and t_torch is not None:
            line += f"{t_torch:>10.3f}{t_torch / t_ours:>7.2f}"
        print(line)
    if not have_torch:
        print("(PyTorch is not installed; `make bench` installs it for the full benchmark)")

    mine = logits_digest()
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    single = subprocess.run([sys.executable, __file__, "--digest"], env=env,
                            capture_output=True, text=True, check=True).stdout.strip()
    verdict = "bit-identical" if single == mine else "DIFFERENT"
    print(f"\nLogits with 1 worker and with {workers} workers: {verdict} (sha256 {mine[:16]}...)")
    same, t_start_cluster, t_compute = cluster_inference(xte, filters, w, logits32, logits8)
    verdict_dask = "bit-identical" if same else "DIFFERENT"
    print(f"Logits (float32 and INT8 weights) on a Dask cluster of 2 worker processes, "
          f"4 blocks of images: {verdict_dask} to the in-process ones; "
          f"computed in {t_compute:.2f} s (cluster started in {t_start_cluster:.1f} s)")
    print(f"Done in {time.perf_counter() - t_start:.1f} s")
    if single != mine or not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
