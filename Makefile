# Front door: `make demo` runs the main job, `make test` runs every test.
# Both install missing dependencies first (Debian packages, pytest).
PYTHON ?= python3
PYPY ?= pypy3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE ?= cmake
CMAKE_FLAGS ?= -DCMAKE_POLICY_VERSION_MINIMUM=3.5

HOST_DIR := $(BUILD)/host
PYPY_DIR := $(BUILD)/pypy
ARMHF_DIR := $(BUILD)/armhf
# armhf CPython 3.11 and PyPy, unpacked from Debian's packages, run under qemu-arm.
ARMHF_PYTHON := BUILD=$(BUILD) JOBS=$(JOBS) CMAKE=$(CMAKE) bash scripts/armhf-python.sh

.PHONY: deps build build-host build-pypy build-armhf test test-cpp test-cpp-armhf \
        build-armhf-python test-python test-pypy test-python-armhf test-pypy-armhf \
        test-pip demo bench clean

deps:
	bash scripts/install-deps.sh

build: build-host build-pypy build-armhf

build-host:
	$(CMAKE) -S . -B $(HOST_DIR) $(CMAKE_FLAGS) -DTOVIK_PYTHON=$$(command -v $(PYTHON))
	$(CMAKE) --build $(HOST_DIR) -j $(JOBS)

build-pypy:
	$(CMAKE) -S . -B $(PYPY_DIR) $(CMAKE_FLAGS) -DTOVIK_PYTHON=$$(command -v $(PYPY)) -DTOVIK_BUILD_TESTS=OFF
	$(CMAKE) --build $(PYPY_DIR) -j $(JOBS)

build-armhf:
	$(CMAKE) -S . -B $(ARMHF_DIR) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armhf-toolchain.cmake -DTOVIK_BUILD_MODULE=OFF
	$(CMAKE) --build $(ARMHF_DIR) -j $(JOBS)

# Both armhf modules (CPython and PyPy) from one cross build of the core.
build-armhf-python:
	$(ARMHF_PYTHON) build

test-cpp: build-host
	cd $(HOST_DIR) && ctest --output-on-failure -j $(JOBS)

test-cpp-armhf: build-armhf
	cd $(ARMHF_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

test-python: build-host
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(PYTHON) -m pytest -q tests/python

test-pypy: build-pypy
	PYTHONPATH=$(CURDIR)/$(PYPY_DIR) $(PYPY) -m pytest -q -p no:cacheprovider tests/python

test-python-armhf: build-armhf-python
	$(ARMHF_PYTHON) test python3.11

test-pypy-armhf: build-armhf-python
	$(ARMHF_PYTHON) test pypy3

# `pip install .` into a fresh virtual environment, then import the module from it.
test-pip:
	rm -rf $(BUILD)/pip-venv && $(PYTHON) -m venv $(BUILD)/pip-venv
	$(BUILD)/pip-venv/bin/pip install --quiet .
	cd / && $(CURDIR)/$(BUILD)/pip-venv/bin/python -c "import tovik; print('pip install ok:', tovik.__file__)"

test: deps
	$(MAKE) test-cpp test-cpp-armhf test-python test-pypy test-python-armhf test-pypy-armhf test-pip

demo: deps build-host build-pypy
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(PYTHON) examples/demo.py
	PYTHONPATH=$(CURDIR)/$(PYPY_DIR) $(PYPY) examples/demo.py

# Side-by-side benchmark against hnswlib, FAISS and numpy (not part of `make test`);
# peers come from PyPI into their own venv. BENCH_ARGS=--quick for a short run.
BENCH_VENV := $(BUILD)/bench-venv
bench: build-host
	test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/pip install --quiet hnswlib faiss-cpu matplotlib numpy
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(BENCH_VENV)/bin/python bench/compare.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
