"""The worker pool, observed from fresh processes: its size from the
environment, lazy creation, fork safety, idle behaviour and creation failure.

Workers are native threads, counted in /proc/self/task. A relu of 10100
elements runs on the pool; one of 10000 runs on the calling thread."""
import json
import os
import sys

import numpy as np
import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc")

PRELUDE = """
import json, os, sys, time
import numpy as np
import _kiln_kernels as kk

def threads():
    return len(os.listdir("/proc/self/task"))

def ref(x):
    return np.where(x > 0, x, np.float32(0)).astype(np.float32)

def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))

rng = np.random.default_rng(3)
SMALL = rng.integers(0, 2**32, size=(100, 100), dtype=np.uint32).view(np.float32)
LARGE = rng.integers(0, 2**32, size=(101, 100), dtype=np.uint32).view(np.float32)
"""

SIZE_SCRIPT = PRELUDE + """
# The processor count is the affinity mask of the process: narrow it to one
# processor so that it differs from the machine's count.
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:1])
t0 = threads()
small_ok = same_bits(kk.relu(SMALL), ref(SMALL))
t1 = threads()
large_ok = same_bits(kk.relu(LARGE), ref(LARGE))
t2 = threads()
# The environment is read once, when the pool is made.
os.environ["RAYON_NUM_THREADS"] = "5"
os.environ["RAYON_RS_NUM_CPUS"] = "5"
again_ok = same_bits(kk.relu(LARGE), ref(LARGE))
t3 = threads()
print(json.dumps({"sequential": t1 - t0, "workers": t2 - t1, "later": t3 - t2,
                  "bits": [small_ok, large_ok, again_ok]}))
"""

P = 1  # processors left in the affinity mask by SIZE_SCRIPT
SIZES = [
    (None, None, P),
    ("1", None, 1),
    ("2", None, 2),
    ("2", "3", 2),
    ("+3", "1", 3),
    ("0", "3", P),  # 0 selects the processor count; the second variable is not read
    ("abc", "3", 3),
    (" 2", "3", 3),
    ("2 ", "3", 3),
    ("-2", "3", 3),
    ("", "3", 3),
    ("++2", "3", 3),
    ("2.0", "3", 3),
    ("18446744073709551616", "3", 3),  # above 2**64 - 1
    (None, "+2", 2),
    (None, "0", P),
    (None, "x", P),
    (None, "-1", P),
]


@pytest.mark.parametrize("num_threads, rs_num_cpus, workers", SIZES,
                         ids=[f"{a!r}-{b!r}" for a, b, _ in SIZES])
def test_worker_count(num_threads, rs_num_cpus, workers):
    proc = run_python(SIZE_SCRIPT, env={"RAYON_NUM_THREADS": num_threads,
                                        "RAYON_RS_NUM_CPUS": rs_num_cpus})
    out = json.loads(proc.stdout)
    assert out == {"sequential": 0, "workers": workers, "later": 0, "bits": [True, True, True]}


def test_fork_after_pool_exists():
    proc = run_python(PRELUDE + """
assert same_bits(kk.relu(LARGE), ref(LARGE))  # the pool exists now
pid = os.fork()
if pid == 0:
    code = 1
    try:
        before = threads()
        ok = same_bits(kk.relu(LARGE), ref(LARGE))
        created = threads() - before  # a pool of its own
        code = 0 if ok and created == 2 else 2
    finally:
        os._exit(code)
deadline = time.monotonic() + 20
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
        sys.exit(1)
    time.sleep(0.01)
print("child", os.waitstatus_to_exitcode(status))
before = threads()
print("parent", same_bits(kk.relu(LARGE), ref(LARGE)), threads() - before)
""", env={"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert proc.stdout.splitlines() == ["child 0", "parent True 0"]


def test_idle_workers_use_no_processor_time():
    proc = run_python(PRELUDE + """
for _ in range(20):
    kk.relu(LARGE)
time.sleep(0.3)
start = time.process_time()
time.sleep(0.5)
print(time.process_time() - start)
""", env={"RAYON_NUM_THREADS": "4", "OPENBLAS_NUM_THREADS": "1"})
    assert float(proc.stdout) < 0.05


@pytest.mark.parametrize("workers, processors", [
    ("2", None),
    # More workers than processors: a caller running its loop fills the one
    # processor, so no worker is woken for it; every loop must still end.
    ("4", 1),
])
def test_calls_from_several_python_threads(workers, processors):
    narrow = "" if processors is None else (
        f"os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{processors}])\n")
    proc = run_python(PRELUDE + narrow + """
import threading
expected = ref(LARGE)
bad = []
def work():
    for _ in range(30):
        if not same_bits(kk.relu(LARGE), expected):
            bad.append(1)
ts = [threading.Thread(target=work) for _ in range(4)]
for t in ts:
    t.start()
for t in ts:
    t.join(30)
print(any(t.is_alive() for t in ts), len(bad))
sys.stdout.flush()
os._exit(0)
""", env={"RAYON_NUM_THREADS": workers}, timeout=60)
    assert proc.stdout.split() == ["False", "0"]


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory does not fit under an address-space limit")
def test_pool_creation_failure():
    # 60000 workers of 2 MiB stack cannot fit in a 512 MiB address-space
    # allowance, so creation fails part way. malloc keeps spare room so that
    # the workers that did start can still set up their thread-local data.
    proc = run_python(PRELUDE + """
import resource
base = threads()
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
limit = vm + (512 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for _ in range(3):
    try:
        kk.relu(LARGE)
        print("no failure")
    except BaseException as exc:
        print(type(exc).__name__, json.dumps(str(exc)))
print(same_bits(kk.relu(SMALL), ref(SMALL)))
# The workers that were started are told to stop.
deadline = time.monotonic() + 10
while threads() > base and time.monotonic() < deadline:
    time.sleep(0.02)
print(threads() - base)
""", env={"RAYON_NUM_THREADS": "60000", "MALLOC_ARENA_MAX": "1",
          "MALLOC_TOP_PAD_": str(32 << 20)}, timeout=60)
    lines = proc.stdout.splitlines()
    assert len(lines) == 5, proc.stdout
    kind, text = lines[0].split(" ", 1)
    assert kind == "PanicException"
    assert json.loads(text).startswith("The global thread pool has not been initialized.: IOError")
    again = 'PanicException "The global thread pool has not been initialized.: GlobalPoolAlreadyInitialized"'
    assert lines[1:] == [again, again, "True", "0"]


@pytest.mark.parametrize("workers", ["1", "3"])
def test_worker_threads_are_named_by_index(workers):
    code = PRELUDE + """
names = lambda: sorted(open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task"))
before = [n for n in names() if n.startswith("kiln-worker-")]
assert same_bits(kk.relu(LARGE), ref(LARGE))
print(json.dumps([before, [n for n in names() if n.startswith("kiln-worker-")]]))
"""
    proc = run_python(code, env={"RAYON_NUM_THREADS": workers})
    before, after = json.loads(proc.stdout)
    assert before == []
    assert after == [f"kiln-worker-{i}" for i in range(int(workers))]


# The calling thread runs pieces of its own loops alongside the workers, and
# a pool may have far more workers than processors. The same inputs go
# through every kernel's pool path in a fresh process per worker count; the
# results must be the references' bits.
GUEST_SCRIPT = """
import sys
import numpy as np
import _kiln_kernels as kk
data = dict(np.load(sys.argv[1]))
out = {
    "relu_small": kk.relu(data["relu_small"]),
    "relu_large": kk.relu(data["relu_large"]),
    "softmax_rows": kk.softmax(data["softmax_rows"], 1),
    "softmax_cols": kk.softmax(data["softmax_cols"], 0),
    "softmax_long": kk.softmax(data["softmax_long"], 1),
    "quantize": kk.quantize_int8(data["quantize"])[0],
    "dequantize": kk.dequantize_int8(data["dequantize"], 0.37),
    "matmul": kk.matmul_kernel(data["mat_a"], data["mat_b"]),
    "conv": kk.conv2d(data["conv_x"], data["conv_w"], 1),
}
np.savez(sys.argv[2], **out)
"""


@pytest.mark.parametrize("workers", ["1", "2", "64"])
def test_caller_and_workers_give_the_reference_bits(tmp_path, workers):
    from references import conv_ref, dequantize_ref, matmul_ref, quantize_ref, relu_ref
    from test_softmax import random_input, softmax_ref

    rng = np.random.default_rng(11)
    ints = lambda *s: rng.integers(-3, 4, s).astype(np.float32)  # exact sums
    data = {
        "relu_small": rng.integers(0, 2**32, (101, 100), dtype=np.uint32).view(np.float32),
        "relu_large": rng.standard_normal((700, 300), dtype=np.float32),
        "softmax_rows": random_input((300, 200), 5, specials=True),
        "softmax_cols": random_input((200, 300), 6, specials=True),
        "softmax_long": random_input((1, 100000), 7),
        "quantize": rng.standard_normal((500, 400), dtype=np.float32),
        "dequantize": rng.integers(-128, 128, (300, 400), dtype=np.int8),
        "mat_a": ints(150, 120), "mat_b": ints(120, 130),
        "conv_x": ints(3, 3, 70, 70), "conv_w": ints(4, 3, 3, 3),
    }
    expected = {
        "relu_small": relu_ref(data["relu_small"]),
        "relu_large": relu_ref(data["relu_large"]),
        "softmax_rows": softmax_ref(data["softmax_rows"], 1),
        "softmax_cols": softmax_ref(data["softmax_cols"], 0),
        "softmax_long": softmax_ref(data["softmax_long"], 1),
        "quantize": quantize_ref(data["quantize"])[0],
        "dequantize": dequantize_ref(data["dequantize"], 0.37),
        "matmul": matmul_ref(data["mat_a"], data["mat_b"]),
        "conv": conv_ref(data["conv_x"], data["conv_w"], 1),
    }
    np.savez(tmp_path / "in.npz", **data)
    run_python(GUEST_SCRIPT.replace("sys.argv[1]", repr(str(tmp_path / "in.npz")))
               .replace("sys.argv[2]", repr(str(tmp_path / "out.npz"))),
               env={"RAYON_NUM_THREADS": workers}, timeout=120)
    got = np.load(tmp_path / "out.npz")
    for name, ref in expected.items():
        assert same_bits_of(got[name], ref), name


def same_bits_of(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("workers, low, high", [
    ("1", 0.0, 0.12),  # one worker: the loop is handed to it whole (the caller only waits)
    ("2", 0.2, 1.05),  # the calling thread takes pieces of its own loop (all of them on one processor)
])
def test_calling_thread_runs_pieces_of_a_long_loop(workers, low, high):
    # Share of the process's processor time spent on the calling thread.
    proc = run_python(PRELUDE + """
x = rng.standard_normal((4096, 4096)).astype(np.float32)
kk.softmax(x, 1)
t0, p0 = time.thread_time(), time.process_time()
for _ in range(3):
    kk.softmax(x, 1)
print((time.thread_time() - t0) / (time.process_time() - p0))
""", env={"RAYON_NUM_THREADS": workers}, timeout=120)
    assert low <= float(proc.stdout) <= high


@pytest.mark.skipif(os.environ.get("KILN_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory does not fit under an address-space limit")
@pytest.mark.parametrize("workers", ["1", "2", "64"])
def test_failure_in_pieces_reaches_the_caller_and_the_pool_recovers(workers):
    # Every image of this convolution needs a 1.3 MB block per strip of
    # windows, which the address-space limit refuses, on whichever thread
    # runs it; the call fails as a whole only once every piece has ended.
    proc = run_python(PRELUDE + """
import resource
sys.path.insert(0, %r)
from references import conv_ref
x = rng.integers(-3, 4, (3, 64, 20, 20)).astype(np.float32)
w = rng.integers(-3, 4, (4, 64, 9, 9)).astype(np.float32)
assert same_bits(kk.relu(LARGE), ref(LARGE))  # the pool exists
expected = conv_ref(x, w, 1)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 20), hard))
try:
    kk.conv2d(x, w, 1)
    outcome = "no failure"
except BaseException as exc:
    outcome = type(exc).__name__
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome, kk.conv2d(x, w, 1).tobytes() == expected.tobytes())
""" % os.path.dirname(os.path.abspath(__file__)), env={"RAYON_NUM_THREADS": workers}, timeout=120)
    assert proc.stdout.splitlines() == ["MemoryError True"]
