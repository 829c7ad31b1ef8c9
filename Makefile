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
	$(MAKE) test-cpp test-cpp-armhf test-python test-pypy test-python-armhf test-pypy-armhf test-pip test-asan test-tsan test-fuzz

# Sanitizer builds and libFuzzer targets, with clang in build/asan, build/tsan and
# build/fuzz (scripts/sanitize.sh). CI fuzzes 60 s per target; `make fuzz` runs
# FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 600
SANITIZE := BUILD=$(BUILD) JOBS=$(JOBS) CMAKE=$(CMAKE) PYTHON=$(PYTHON) bash scripts/sanitize.sh
.PHONY: test-asan test-tsan test-fuzz fuzz

test-asan:
	$(SANITIZE) asan

test-tsan:
	$(SANITIZE) tsan

test-fuzz:
	$(SANITIZE) fuzz 60

fuzz:
	$(SANITIZE) fuzz $(FUZZ_SECONDS)

demo: deps build-host build-pypy
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(PYTHON) examples/demo.py
	PYTHONPATH=$(CURDIR)/$(PYPY_DIR) $(PYPY) examples/demo.py

clean:
	rm -rf $(BUILD)
