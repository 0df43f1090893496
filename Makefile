# Set-up from a fresh clone: `make demo` or `make test`. Both create the
# virtual environment .venv, install what the build and tests need into it,
# and build and install the module there.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed

.PHONY: build demo test bench clean

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

# Benchmarks against NumPy (and PyTorch when installed). OpenBLAS core-type
# overrides are cleared for this command only, so NumPy runs its best kernel.
bench: build
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/bench_relu.py

clean:
	rm -rf build $(VENV)
