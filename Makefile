# Set-up from a fresh clone: `make demo` or `make test`. Both create the
# virtual environment .venv, install what the build, demo and tests need
# into it, and build and install the module there.
#
# `make test` runs the suite three times:
#   1. against the release wheel installed in .venv (newest NumPy 2.x);
#   2. against a build with AddressSanitizer (leak detection on) and
#      UndefinedBehaviorSanitizer, loaded into the same interpreter;
#   3. against the same release wheel installed in .venv-numpy1 (NumPy 1.26).
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
BENCH_DEPS := $(VENV)/.bench-deps-installed
VENV1 := .venv-numpy1
PY1 := $(VENV1)/bin/python
DEPS1 := $(VENV1)/.deps-installed
WHEEL_DIR := build/wheel

.PHONY: build demo test test-release test-sanitized test-numpy1 bench peak check-expf clean

$(DEPS): requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

$(DEPS1): requirements-numpy1.txt requirements-dev.txt
	$(PYTHON) -m venv $(VENV1)
	$(PY1) -m pip install --quiet -r requirements-numpy1.txt
	touch $@

# One wheel (tagged abi3) serves every environment.
build: $(DEPS)
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PY) -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl

demo: build
	$(PY) demo/demo.py

test: test-release test-sanitized test-numpy1

test-release: build
	$(PY) -m pytest -q tests

# The sanitizer runtimes must be loaded before anything else, so they are
# preloaded into the interpreter (libstdc++ too, so that C++ exceptions are
# intercepted correctly); the sanitized module is found first on PYTHONPATH.
# Leaks of the interpreter's and NumPy's own allocations are suppressed in
# tests/sanitizer/lsan.supp.
ASAN_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
test-sanitized: build
	$(VENV)/bin/cmake -S . -B build/sanitized -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKILN_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build build/sanitized
	env KILN_SANITIZED=1 PYTHONPATH=$(abspath build/sanitized) LD_PRELOAD="$(ASAN_PRELOAD)" \
		ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
		LSAN_OPTIONS=suppressions=$(abspath tests/sanitizer/lsan.supp):print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(PY) -m pytest -q -p no:cacheprovider --capture=sys tests

test-numpy1: build $(DEPS1)
	$(PY1) -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl
	$(PY1) -m pytest -q -p no:cacheprovider tests

$(BENCH_DEPS): requirements-bench.txt $(DEPS)
	$(PY) -m pip install --quiet -r requirements-bench.txt
	touch $@

# Benchmarks against NumPy and PyTorch; writes bench/RESULTS.md and
# bench/results.png. OpenBLAS core-type overrides are cleared for this
# command only, so NumPy runs its best kernel.
bench: build $(BENCH_DEPS)
	sh tools/peak/build.sh build/peak
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/report.py

# The floating-point limit of one core: register-only loops of separate
# multiply-then-add and of fused multiply-add at each vector width.
peak:
	sh tools/peak/build.sh build/peak
	build/peak/peak

# Every float32 input of softmax's exponential against a high-precision
# reference, in every instruction-set form (about a minute on 2 cores).
# The test suite runs a sampled subset.
check-expf:
	sh tools/expf_check/build.sh build/expf_check
	build/expf_check/check_expf

clean:
	rm -rf build $(VENV) $(VENV1)
