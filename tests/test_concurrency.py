"""Concurrency: many Python threads calling all six kernels at once, on both
sides of the 10000-element threshold, and a fork after the worker pool
exists. Each scenario runs in a fresh interpreter under a timeout, so a
deadlock fails the test instead of hanging the suite."""
from __future__ import annotations

import os

from conftest import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))

REFERENCES = f"""
import sys
import numpy as np
import _kiln_kernels as kk
sys.path.insert(0, {TESTS!r})
from references import conv_ref, dequantize_ref, matmul_ref, quantize_ref, relu_ref
""" + r"""

F32 = np.float32

def softmax_close(out, x, axis):
    # float32 evaluation of the lane formula (float32 subtraction and sums),
    # the exponential taken in float64 and rounded once
    lanes = x.T if axis == 0 else x
    m = np.max(lanes, axis=1)
    e = np.exp((lanes - m[:, None]).astype(np.float64)).astype(F32)
    s = np.zeros(lanes.shape[0], F32)
    for j in range(lanes.shape[1]):
        s = s + e[:, j]
    ref = e * (F32(1) / s)[:, None]
    ref = (ref.T if axis == 0 else ref).astype(np.float64)
    tol = 4 * np.spacing(ref.astype(F32)).astype(np.float64)
    assert np.all(np.abs(out - ref) <= tol), "softmax differs from the reference"

def same(a, b):
    assert type(a) is np.ndarray and a.dtype == b.dtype and a.shape == b.shape
    assert a.tobytes() == b.tobytes()

rng = np.random.default_rng(1)
def ints(*shape):  # small integers: every float32 sum is exact, all paths agree
    return rng.integers(-3, 4, shape).astype(F32)
def normal(*shape):
    return rng.standard_normal(shape).astype(F32)

def make_jobs():
    jobs = []
    for r, c in [(100, 100), (101, 100), (7, 9)]:       # <=, > 10000 elements
        x = normal(r, c)
        jobs.append(("relu", (x,), relu_ref(x)))
        jobs.append(("relu", (x[::-1][::-1],), relu_ref(x)))
        q, s = quantize_ref(x)
        jobs.append(("quantize_int8", (x,), (q, s)))
        qi = rng.integers(-128, 128, (r, c), dtype=np.int8)
        jobs.append(("dequantize_int8", (qi.T, 0.3), dequantize_ref(qi.T, 0.3)))
        for axis in (0, 1):
            out = kk.softmax(x, axis)
            softmax_close(out, x, axis)
            jobs.append(("softmax", (x, axis), out))
    for m, k, n in [(100, 7, 100), (101, 7, 100), (3, 5, 4), (150, 40, 90)]:
        a, b = ints(m, k), ints(k, n)
        jobs.append(("matmul_kernel", (a, b), matmul_ref(a, b)))
        jobs.append(("matmul_kernel", (a, b.T.copy().T), matmul_ref(a, b)))
    for shape_x, shape_w, s in [((1, 2, 9, 9), (3, 2, 3, 3), 1), ((3, 2, 9, 9), (3, 2, 3, 3), 2),
                                ((1, 1, 72, 72), (2, 1, 2, 2), 1), ((4, 3, 20, 20), (5, 3, 3, 3), 1)]:
        x, w = ints(*shape_x), ints(*shape_w)
        jobs.append(("conv2d", (x, w, s), conv_ref(x, w, s)))
    return jobs

def run_job(name, args, expected):
    out = getattr(kk, name)(*args)
    if name == "quantize_int8":
        same(out[0], expected[0])
        assert out[1] == expected[1]
    else:
        same(out, expected)
"""


def test_many_threads_all_kernels_correct_no_deadlock():
    code = REFERENCES + r"""
import random, threading, sys

jobs = make_jobs()
errors, done = [], []
barrier = threading.Barrier(8)

def worker(seed):
    order = list(range(len(jobs))) * 10
    random.Random(seed).shuffle(order)
    barrier.wait()
    try:
        for i in order:
            run_job(*jobs[i])
        done.append(seed)
    except BaseException as exc:
        errors.append(f"{jobs[i][0]}: {type(exc).__name__}: {exc}")

threads = [threading.Thread(target=worker, args=(s,), daemon=True) for s in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join(timeout=60)
alive = [t for t in threads if t.is_alive()]
assert not alive, f"{len(alive)} threads still running"
assert not errors, errors
assert len(done) == 8
print("calls", 8 * 10 * len(jobs))
"""
    proc = run_python(code, timeout=90)
    assert proc.stdout.startswith("calls ")


def test_fork_after_pool_exists_parent_and_child_work():
    code = REFERENCES + r"""
import os, sys, time

x, w = ints(4, 3, 24, 24), ints(6, 3, 3, 3)
a, b = ints(120, 30, ), ints(30, 110)
conv_ref, mm_ref = conv_ref(x, w, 1), matmul_ref(a, b)
# The pool exists and has done work before the fork.
same(kk.conv2d(x, w, 1), conv_ref)
same(kk.matmul_kernel(a, b), mm_ref)

pid = os.fork()
if pid == 0:
    code = 1
    try:
        same(kk.conv2d(x, w, 1), conv_ref)
        same(kk.matmul_kernel(a, b), mm_ref)
        q = rng.integers(-128, 128, (101, 100), dtype=np.int8)
        same(kk.dequantize_int8(q, 0.5), dequantize_ref(q, 0.5))
        code = 0
    finally:
        os._exit(code)

same(kk.conv2d(x, w, 1), conv_ref)
same(kk.matmul_kernel(a, b), mm_ref)
deadline = time.monotonic() + 30
while True:
    got, status = os.waitpid(pid, os.WNOHANG)
    if got == pid:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        sys.exit("child did not finish within 30 s")
    time.sleep(0.01)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child status {status}"
# the parent's pool still works after the child is gone
same(kk.conv2d(x, w, 1), conv_ref)
print("ok")
"""
    proc = run_python(code, timeout=60)
    assert proc.stdout.strip() == "ok"


def test_fork_right_after_the_pool_is_created_at_every_level():
    # Each process makes its pool with a parallel call and forks at once, for
    # six generations: a fork while a worker thread is still starting up
    # must not leave the child with a lock held by a thread it does not have.
    code = REFERENCES + r"""
import os, sys

x = ints(120, 110)
expected = relu_ref(x)
depth = 0
while True:
    same(kk.relu(x), expected)          # creates this process's pool
    if depth == 6:
        os._exit(0)
    pid = os.fork()
    if pid == 0:
        depth += 1
        continue
    _, status = os.waitpid(pid, 0)
    code = 0 if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 else 1
    if depth > 0:
        os._exit(code)
    break
assert code == 0, "a descendant failed"
print("ok")
"""
    proc = run_python(code, timeout=60)
    assert proc.stdout.strip() == "ok"
