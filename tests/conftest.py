"""Helpers shared by the test modules (no fixtures are applied automatically).

- run_python(code, env=..., timeout=...): runs `code` in a fresh interpreter
  that imports the same build of the module as this one.
- panic_type(): the PanicException type, taken from a caught exception.
- assert_same_bits(actual, expected): equal dtype, shape and bit patterns.
- isa_env(isa): the environment that forces an instruction set on the
  module; skips the test when this CPU lacks it. The instruction sets
  really exercised are listed at the end of the run.
"""
from __future__ import annotations

import functools
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _kiln_kernels


class IndexOK:
    """An integer-like argument: converts through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IndexRaises:
    """An argument whose __index__ raises."""

    def __index__(self):
        raise ValueError("index refused")


class FloatRaises:
    """An argument whose __float__ raises."""

    def __float__(self):
        raise ValueError("float refused")


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


_FLAGS = _cpu_flags()
# The instruction sets the module can use on this CPU (the same features it
# tests for itself).
CPU_ISAS = ["scalar"] + (["avx2"] if "avx2" in _FLAGS else []) + (
    ["avx512"] if {"avx512f", "avx512bw", "avx512dq", "avx512vl"} <= _FLAGS else [])
_exercised = set()
_missing = set()


def isa_env(isa):
    """{"KILN_KERNELS_ISA": isa}, for a test that forces an instruction set.
    The module never enables one the CPU lacks (it would silently run a
    narrower one), so the test is skipped then."""
    if isa not in CPU_ISAS:
        _missing.add(isa)
        pytest.skip(f"this CPU has no {isa}")
    _exercised.add(isa)
    return {"KILN_KERNELS_ISA": isa}


def pytest_terminal_summary(terminalreporter):
    if _exercised or _missing:
        order = ["scalar", "avx2", "avx512"]
        line = "instruction sets forced by the tests: " + (
            ", ".join(i for i in order if i in _exercised) or "none")
        if _missing:
            line += "; skipped, not on this CPU: " + ", ".join(i for i in order if i in _missing)
        terminalreporter.write_line(line)


def run_python(code, env=None, timeout=60, check=True):
    """Runs dedented `code` with this interpreter and returns the completed
    process (text stdout/stderr). `env` updates os.environ; a value of None
    removes the variable. With check, a non-zero exit fails the test."""
    full_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        pytest.fail(
            f"subprocess exited with {proc.returncode}\n"
            f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


@functools.lru_cache(maxsize=None)
def panic_type():
    """The PanicException type. It is not a module attribute; relu refuses a
    transposed 3x3 array with it."""
    x = np.zeros((3, 3), np.float32)
    try:
        _kiln_kernels.relu(x.T)
    except BaseException as exc:  # noqa: B036 - it derives from BaseException
        if type(exc).__name__ == "PanicException":
            return type(exc)
        raise
    raise AssertionError("relu accepted a transposed array")


def uint_view(a):
    a = np.asarray(a)
    return np.ascontiguousarray(a).view(np.dtype(f"u{a.dtype.itemsize}"))


def assert_same_bits(actual, expected):
    """Same dtype, same shape, same bits (so -0.0 != +0.0 and NaN payloads
    count)."""
    assert type(actual) is np.ndarray
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    a, e = uint_view(actual), uint_view(expected)
    if not np.array_equal(a, e):
        bad = np.flatnonzero(a.ravel() != e.ravel())
        i = bad[0]
        raise AssertionError(
            f"{bad.size} elements differ; first at flat index {i}: "
            f"{a.ravel()[i]:#x} != {e.ravel()[i]:#x}"
        )


def random_float32_bits(shape, seed=0):
    """float32 values drawn uniformly over all bit patterns: every sign, both
    zeros, subnormals, infinities and NaNs with any payload."""
    rng = np.random.default_rng(seed)
    return rng.integers(0, 2**32, size=shape, dtype=np.uint32).view(np.float32)
