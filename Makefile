# Set-up from a fresh clone: `make demo` or `make test`. Both create the
# virtual environment .venv, install what the build, demo and tests need
# into it, and build and install the module there.
#
# `make test` builds the release wheel once, prints its manylinux tag and
# runs the suite five times (the four repeats with KILN_REPEAT_RUN=1, which
# skips the test that builds and runs a separate checker program: it
# involves neither the interpreter, nor NumPy, nor the module's build):
#   1. against the release wheel installed in .venv (newest NumPy 2.x);
#   2. against a build with AddressSanitizer (leak detection on) and
#      UndefinedBehaviorSanitizer, loaded into the same interpreter;
#   3. against the same release wheel installed in .venv-numpy1 (NumPy 1.26);
#   4. and 5. against the same wheel on the oldest and the newest CPython
#      it supports (3.9 and 3.13, each with the newest NumPy for it), in
#      .venv-oldest and .venv-newest.
# The two interpreters are looked up in pyenv's versions directory, then on
# PATH; PYTHON_OLDEST=/path/to/python3.9 and PYTHON_NEWEST=... override.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
BENCH_DEPS := $(VENV)/.bench-deps-installed
VENV1 := .venv-numpy1
PY1 := $(VENV1)/bin/python
DEPS1 := $(VENV1)/.deps-installed
WHEEL_DIR := build/wheel

OLDEST := 3.9
NEWEST := 3.13
PYENV_ROOT ?= $(HOME)/.pyenv
# The newest patch release of CPython $(1) under pyenv, else python$(1) on PATH.
find_python = $(or $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1),$(shell command -v python$(1) 2>/dev/null))
PYTHON_OLDEST ?= $(call find_python,$(OLDEST))
PYTHON_NEWEST ?= $(call find_python,$(NEWEST))
VENV_OLDEST := .venv-oldest
VENV_NEWEST := .venv-newest

.PHONY: build demo test check-pythons test-release test-sanitized test-numpy1 test-oldest test-newest \
	wheel-tag bench bench-dask peak check-expf clean

$(DEPS): requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

$(DEPS1): requirements-numpy1.txt requirements-dev.txt
	$(PYTHON) -m venv $(VENV1)
	$(PY1) -m pip install --quiet -r requirements-numpy1.txt
	touch $@

# Both interpreters must exist; `make test` checks this before anything else.
check-pythons:
	@for spec in "$(OLDEST)|OLDEST|$(PYTHON_OLDEST)" "$(NEWEST)|NEWEST|$(PYTHON_NEWEST)"; do \
		version=$${spec%%|*}; rest=$${spec#*|}; var=$${rest%%|*}; path=$${rest#*|}; \
		if [ -z "$$path" ] || [ ! -x "$$path" ]; then \
			echo "error: CPython $$version not found: looked for $(PYENV_ROOT)/versions/$$version.*/bin/python$$version" \
			     "and python$$version on PATH. Install it (e.g. 'pyenv install $$version') or name it:" \
			     "make test PYTHON_$$var=/path/to/python$$version" >&2; \
			exit 1; \
		fi; \
	done

# A test environment on another interpreter: $(1) venv, $(2) interpreter.
# pip is brought up to date first: the pip 23.0 that CPython 3.9's venv
# comes with spent over five minutes of processor time resolving these
# requirements on a fresh machine, where pip 26 takes 17 seconds.
define other_python_venv
$(1)/.deps-installed: requirements-pythons.txt | check-pythons
	rm -rf $(1)
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install --quiet --upgrade pip
	$(1)/bin/python -m pip install --quiet -r requirements-pythons.txt
	touch $$@
endef
$(eval $(call other_python_venv,$(VENV_OLDEST),$(PYTHON_OLDEST)))
$(eval $(call other_python_venv,$(VENV_NEWEST),$(PYTHON_NEWEST)))

# One wheel (tagged abi3) serves every environment.
build: $(DEPS)
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PY) -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl

demo: build
	$(PY) demo/demo.py

test: check-pythons test-release test-sanitized test-numpy1 test-oldest test-newest

# The wheel's platform tag as auditwheel finds it (tests/test_wheel.py fails
# when it is newer than manylinux_2_28).
wheel-tag: build
	@echo "auditwheel show: $$($(VENV)/bin/auditwheel show $(WHEEL_DIR)/*.whl 2>/dev/null | tr '\n' ' ' | \
		sed -n 's/.*platform tag: *"\([^"]*\)".*/the wheel is consistent with \1/p')"

test-release: build wheel-tag
	KILN_WHEEL="$$(ls $(abspath $(WHEEL_DIR))/*.whl)" $(PY) -m pytest -q tests

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
	env KILN_SANITIZED=1 KILN_REPEAT_RUN=1 PYTHONPATH=$(abspath build/sanitized) LD_PRELOAD="$(ASAN_PRELOAD)" \
		ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
		LSAN_OPTIONS=suppressions=$(abspath tests/sanitizer/lsan.supp):print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(PY) -m pytest -q -p no:cacheprovider --capture=sys tests

test-numpy1: build $(DEPS1)
	$(PY1) -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl
	KILN_REPEAT_RUN=1 $(PY1) -m pytest -q -p no:cacheprovider tests

test-oldest: build $(VENV_OLDEST)/.deps-installed
	$(VENV_OLDEST)/bin/python -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl
	$(VENV_OLDEST)/bin/python -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)'
	KILN_REPEAT_RUN=1 $(VENV_OLDEST)/bin/python -m pytest -q -p no:cacheprovider tests

test-newest: build $(VENV_NEWEST)/.deps-installed
	$(VENV_NEWEST)/bin/python -m pip install --quiet --no-deps --force-reinstall $(WHEEL_DIR)/*.whl
	$(VENV_NEWEST)/bin/python -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)'
	KILN_REPEAT_RUN=1 $(VENV_NEWEST)/bin/python -m pytest -q -p no:cacheprovider tests

$(BENCH_DEPS): requirements-bench.txt $(DEPS)
	$(PY) -m pip install --quiet -r requirements-bench.txt
	touch $@

# Benchmarks against NumPy and PyTorch; writes bench/RESULTS.md and
# bench/results.png. OpenBLAS core-type overrides are cleared for this
# command only, so NumPy runs its best kernel.
bench: build $(BENCH_DEPS)
	sh tools/peak/build.sh build/peak
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/report.py
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/bench_dask.py

# conv2d over a batch in one process and on local clusters of 1 and 2 worker
# processes; writes bench/RESULTS-dask.md.
bench-dask: build
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/bench_dask.py

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
	rm -rf build $(VENV) $(VENV1) $(VENV_OLDEST) $(VENV_NEWEST)
