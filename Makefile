# Set-up from a fresh clone: `make demo` or `make test`. Both create the
# virtual environment .venv, install what the build, demo and tests need
# into it, and build and install the module there.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
BENCH_DEPS := $(VENV)/.bench-deps-installed

.PHONY: build demo test bench check-expf clean

$(DEPS): requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

build: $(DEPS)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

demo: build
	$(PY) demo/demo.py

test: build
	$(PY) -m pytest -q tests

$(BENCH_DEPS): requirements-bench.txt $(DEPS)
	$(PY) -m pip install --quiet -r requirements-bench.txt
	touch $@

# Benchmarks against NumPy and PyTorch; writes bench/RESULTS.md and
# bench/results.png. OpenBLAS core-type overrides are cleared for this
# command only, so NumPy runs its best kernel.
bench: build $(BENCH_DEPS)
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/report.py

# Every float32 input of softmax's exponential against a high-precision
# reference, in every instruction-set form (about a minute on 2 cores).
# The test suite runs a sampled subset.
check-expf:
	sh tools/expf_check/build.sh build/expf_check
	build/expf_check/check_expf

clean:
	rm -rf build $(VENV)
