"""The exponential inside softmax is correctly rounded, in every instruction
set's form.

softmax of a two-value row [0, d] with d <= 0 is [r, e * r] with e = exp(d),
r = 1 / (1 + e). Once e <= 2^-24 the sum rounds to exactly 1, so the second
output is exp(d) itself: every d <= -16.7 reads the exponential directly,
subnormal results included. Above that, the outputs are compared with the
same formula evaluated in NumPy from a correctly rounded reference. The C++
checker of tools/expf_check, which compares all 2^32 inputs in its full
mode, runs here in its sampled mode.
"""
import hashlib
import os
import shutil
import subprocess

import numpy as np
import pytest

import _kiln_kernels as kk
from conftest import assert_same_bits, isa_env, run_python
from test_softmax import exp_f32, softmax_ref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def floats_between(lo, hi, step=1):
    """Every `step`-th float32 in [lo, hi] (both of one sign), by bit pattern."""
    a, b = np.array([lo, hi], np.float32).view(np.uint32)
    a, b = min(a, b), max(a, b)
    return np.arange(a, b + 1, step, dtype=np.uint32).view(np.float32)


def pairs(d):
    """Rows [0, d] for softmax along axis 1."""
    x = np.zeros((d.size, 2), np.float32)
    x[:, 1] = d
    return x


def two_value_ref(d):
    e = exp_f32(d)
    r = (np.float32(1) / (np.float32(1) + e)).astype(np.float32)
    return np.stack([r, (e * r).astype(np.float32)], axis=1)


RANGES = {
    # exp(d) below the smallest subnormal, subnormal, and normal but tiny:
    # read directly.
    "to-zero": (-110.0, -103.0, 7),
    "subnormal": (-103.98, -87.0, 3),
    "small": (-87.5, -16.7, 401),
    # The sum is not 1 here: the formula, from the reference exponential.
    "moderate": (-16.7, -1.0, 97),
    "near-one": (-1.0, -2.0**-30, 211),
}


@pytest.mark.parametrize("name", list(RANGES))
def test_exponential_is_correctly_rounded(name):
    lo, hi, step = RANGES[name]
    d = floats_between(lo, hi, step)
    got = kk.softmax(pairs(d), 1)
    assert_same_bits(got, two_value_ref(d))
    if hi <= -16.7:
        assert_same_bits(got[:, 1], exp_f32(d))


def test_boundaries_of_the_exponential():
    d = np.array([-np.inf, -1e30, -150.0, -103.97208, -103.972084, -103.97209,
                  -87.33654, -87.33655, -0.0, 0.0, -2.0**-24, -2.0**-25, -2.0**-26,
                  -np.float32(1.4e-45)], np.float32)
    got = kk.softmax(pairs(d), 1)
    assert_same_bits(got, two_value_ref(d))
    assert_same_bits(got[:2, 1], np.zeros(2, np.float32))  # exp(-inf), exp(-1e30): +0


# Inputs whose exponential lies closest to a rounding boundary, from the
# checker's full sweep (negative ones: softmax only exponentiates d <= 0).
HARD = np.array([0xb2ffffff, 0xb3000000, 0xb3000001, 0xb3c00001, 0xb4200001, 0xb4b00002,
                 0xb5d4000b, 0xb616000b, 0xb6b50020, 0xb7c9c09f, 0xb7f4c0ea, 0xba7242a6,
                 0xbae0e25c, 0xbbb70ee8, 0xbbf0edf1, 0xbc2a461a, 0xbcb8f40f, 0xbce017bb,
                 0xbdb393eb, 0xbf76fd92, 0xbf81eadf, 0xbfbfa14b, 0xc0382e72, 0xc0781533,
                 0xc13d6631, 0xc16912cd], np.uint32).view(np.float32)


def test_hardest_inputs():
    # In vector lanes and the scalar remainder alike.
    d = np.tile(HARD, 3)[:-1]
    assert_same_bits(kk.softmax(pairs(d), 1), two_value_ref(d))


DIGEST = """
import hashlib, numpy as np, _kiln_kernels as kk
bits = np.arange(0xC0000000, 0xC3000000, 4099, dtype=np.uint32)  # -2 .. -128
bits = np.concatenate([bits, np.arange(0x80000000, 0xBF800000, 4099, dtype=np.uint32)])
x = np.zeros((bits.size, 2), np.float32)
x[:, 1] = bits.view(np.float32)
x[::7, 1] = np.nan
print(hashlib.sha256(kk.softmax(x, 1).tobytes() + kk.softmax(x.T.copy(), 0).tobytes()).hexdigest())
"""


@pytest.mark.parametrize("isa", ["scalar", "avx2", "avx512"])
def test_every_isa_form_gives_the_same_bits(isa):
    here = run_python(DIGEST).stdout
    assert run_python(DIGEST, env=isa_env(isa)).stdout == here


def test_digest_input_is_correctly_rounded():
    namespace = {}
    exec(DIGEST.split("print(")[0], namespace)
    x = namespace["x"]
    keep = ~np.isnan(x[:, 1])
    assert_same_bits(kk.softmax(x[keep], 1), two_value_ref(x[keep, 1]))


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="needs g++")
@pytest.mark.skipif(os.environ.get("KILN_REPEAT_RUN") == "1",
                    reason="a program of its own, the same in every run: checked in the first run")
def test_checker_sampled_run(tmp_path):
    # The checker is a program of its own: no sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    build = subprocess.run(["sh", os.path.join(ROOT, "tools", "expf_check", "build.sh"),
                            str(tmp_path)], capture_output=True, text=True, timeout=300, env=env)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(tmp_path / "check_expf"), "--sample"], capture_output=True,
                         text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "mismatches: 0" in run.stdout


HARD_ROWS = """
import numpy as np
def hard_rows(length, hard):
    # Each lane starts at 0, its maximum, so the exponential's arguments are
    # the hard inputs themselves; shifting them one place per lane puts every
    # hard input at every position of the vectors and their remainders.
    rows = np.zeros((130, length), np.float32)
    for o in range(130):
        rows[o, 1:] = np.roll(np.resize(hard, length - 1), o)
    return rows
"""


@pytest.mark.parametrize("isa", ["default", "scalar", "avx2", "avx512"])
@pytest.mark.parametrize("axis", [0, 1])
def test_hard_inputs_at_every_lane_of_the_vector_groups(axis, isa):
    # Undecided lanes are redone one by one: the right lanes must be picked
    # in whole groups of vectors, in the masked group after them and in
    # column steps of every width.
    lengths = [17, 33, 64, 65, 100, 129]
    code = HARD_ROWS + f"""
import hashlib, _kiln_kernels as kk
h = hashlib.sha256()
for length in {lengths!r}:
    x = hard_rows(length, np.array({HARD.tolist()!r}, np.float32))
    x = x if {axis} == 1 else np.ascontiguousarray(x.T)
    h.update(kk.softmax(x, {axis}).tobytes())
print(h.hexdigest())
"""
    namespace = {}
    exec(HARD_ROWS, namespace)
    h = hashlib.sha256()
    for length in lengths:
        x = namespace["hard_rows"](length, HARD)
        x = x if axis == 1 else np.ascontiguousarray(x.T)
        h.update(softmax_ref(x, axis).tobytes())
    env = {} if isa == "default" else isa_env(isa)
    assert run_python(code, env=env).stdout.strip() == h.hexdigest()
