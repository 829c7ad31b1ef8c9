# Front door: `make demo` runs the main job, `make test` runs every test.
# Both install missing dependencies first (Debian packages, pytest).
PYTHON ?= python3
PYPY ?= pypy3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE ?= cmake
CMAKE_FLAGS ?=

HOST_DIR := $(BUILD)/host
PYPY_DIR := $(BUILD)/pypy
ARMHF_DIR := $(BUILD)/armhf
ARM64_DIR := $(BUILD)/arm64
# armhf CPython and PyPy (Debian 12's; Debian 13's on a Debian 13 machine), unpacked from
# Debian's packages, run under qemu-arm.
ARMHF_PYTHON := BUILD=$(BUILD) JOBS=$(JOBS) CMAKE=$(CMAKE) bash scripts/armhf-python.sh
# Every target of scripts/targets.txt: private roots of each release's interpreters, and
# one build per architecture of the modules for all of them.
ROOTS := BUILD=$(BUILD) JOBS=$(JOBS) CMAKE=$(CMAKE) bash scripts/target-root.sh
ARCHES := $(shell awk '!/^\#/ && NF { print $$4 }' scripts/targets.txt | sort -u)

.PHONY: deps build build-host build-pypy build-armhf build-arm64 test test-cpp test-cpp-armhf test-cpp-arm64 \
        build-armhf-python test-python test-pypy test-python-armhf test-pypy-armhf \
        test-pip demo bench clean wheels test-wheels test-typing build-modules test-cpp-release \
        $(ARCHES:%=build-modules-%)

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

# The C++ suite for 64-bit ARM boards (its Advanced SIMD kernels), run under qemu-aarch64.
build-arm64:
	$(CMAKE) -S . -B $(ARM64_DIR) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm64-toolchain.cmake -DTOVIK_BUILD_MODULE=OFF
	$(CMAKE) --build $(ARM64_DIR) -j $(JOBS)

# The armhf modules (CPython and PyPy of each release) from one cross build of the core.
build-armhf-python:
	$(ARMHF_PYTHON) build

build-modules: $(ARCHES:%=build-modules-%)

$(ARCHES:%=build-modules-%): build-modules-%:
	$(ROOTS) build $*

test-cpp: build-host
	cd $(HOST_DIR) && ctest --output-on-failure -j $(JOBS)

# The C++ suite at the level `pip install .` builds with (scikit-build-core's default
# build type, Release: -O3), where the optimiser is freest.
test-cpp-release:
	$(CMAKE) -S . -B $(BUILD)/release $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DTOVIK_BUILD_MODULE=OFF
	$(CMAKE) --build $(BUILD)/release -j $(JOBS)
	cd $(BUILD)/release && ctest --output-on-failure -j $(JOBS)

test-cpp-armhf: build-armhf
	cd $(ARMHF_DIR) && ctest --output-on-failure -V -j 2 --timeout 900

# Scores rest on products rounded before their adds: the arm64 core must hold no fused
# multiply-add instruction (GCC forms them on AArch64 unless told not to).
test-cpp-arm64: build-arm64
	@if find $(ARM64_DIR)/CMakeFiles/tovik_core.dir -name '*.o' -exec aarch64-linux-gnu-objdump -d {} + \
	    | grep -E '\s(fmla|fmls|fmadd|fmsub|fnmadd|fnmsub)\s'; then \
	  echo "test-cpp-arm64: fused multiply-add instructions in the arm64 core" >&2; exit 1; fi
	cd $(ARM64_DIR) && ctest --output-on-failure -V -j 2 --timeout 900

test-python: build-host
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(PYTHON) -m pytest -q tests/python

test-pypy: build-pypy
	PYTHONPATH=$(CURDIR)/$(PYPY_DIR) $(PYPY) -m pytest -q -p no:cacheprovider tests/python

test-python-armhf: build-armhf-python
	$(ARMHF_PYTHON) test python3

test-pypy-armhf: build-armhf-python
	$(ARMHF_PYTHON) test pypy3

# The same seeded scenario under x86-64 CPython and PyPy and armhf CPython and PyPy
# (qemu), with the build trees' modules: the four result files must be identical byte
# for byte. `make test` runs it under all twelve targets' installed wheels instead
# (test-wheels).
.PHONY: test-golden
test-golden: build-host build-pypy build-armhf-python
	PYTHON=$(PYTHON) PYPY=$(PYPY) HOST_DIR=$(HOST_DIR) PYPY_DIR=$(PYPY_DIR) ARMHF_PYTHON="$(ARMHF_PYTHON)" \
	  bash tests/golden/run.sh $(BUILD)/golden

# A random mix of every operation checked against a model (about a minute here); set
# TOVIK_SOAK_OPS=1000000 for a long run.
.PHONY: test-soak
test-soak: build-host
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) TOVIK_SOAK_OPS=$${TOVIK_SOAK_OPS:-400000} $(PYTHON) tests/soak/soak.py

# `pip install .` into a fresh virtual environment, then import the module from it.
# It installs the source distribution, so a missing file in the sdist fails here.
test-pip:
	rm -rf $(BUILD)/pip-venv $(BUILD)/sdist && $(PYTHON) -m venv --system-site-packages $(BUILD)/pip-venv
	$(BUILD)/pip-venv/bin/pip install --quiet build
	$(BUILD)/pip-venv/bin/python -m build --sdist --outdir $(BUILD)/sdist . >/dev/null
	$(BUILD)/pip-venv/bin/pip install --quiet $(BUILD)/sdist/tovik-*.tar.gz
	cd / && $(CURDIR)/$(BUILD)/pip-venv/bin/python -c "import tovik; print('pip install ok:', tovik.__file__)"

# The installed package (module, stub, py.typed) against mypy: the stub matches the
# module, the examples type-check strictly, the README and examples run.
test-typing: test-pip
	$(BUILD)/pip-venv/bin/python -c "import mypy" 2>/dev/null || $(BUILD)/pip-venv/bin/pip install --quiet mypy
	$(BUILD)/pip-venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_typing.py \
	  tests/python/test_platform.py tests/python/test_readme.py tests/python/test_examples.py

# Wheels that install alone (CRoaring inside, tagged manylinux where true), for both
# interpreters of every target of scripts/targets.txt (Debian 12 and 13 on x86-64,
# armv7l and aarch64), into build/wheels (scripts/build-wheels.sh).
wheels: build-modules
	BUILD=$(BUILD) PYTHON=$(PYTHON) bash scripts/build-wheels.sh

# Each wheel installed by its interpreter's own pip in a root of its release (the ARM
# ones under qemu), then the README, the examples and the import checks (the whole suite
# for Debian 13 on x86-64 and armhf), with the system's CRoaring hidden from the loader;
# the golden scenario's output identical under all of them.
test-wheels: wheels
	BUILD=$(BUILD) bash scripts/test-wheels.sh

test: deps
	$(MAKE) test-format test-cpp test-cpp-release test-cpp-armhf test-cpp-arm64 test-python test-pypy test-python-armhf \
	  test-pypy-armhf test-pip test-typing test-wheels test-soak test-asan test-tsan test-fuzz

# Our C++ against .clang-format, with clang-format 14.0.6 pinned from PyPI (the same
# verdict on Debian 12 and 13). `bash scripts/check-format.sh --fix` reformats.
.PHONY: test-format
test-format:
	BUILD=$(BUILD) PYTHON=$(PYTHON) bash scripts/check-format.sh

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

# Side-by-side benchmark against hnswlib, FAISS and numpy (not part of `make test`);
# peers come from PyPI into their own venv. BENCH_ARGS=--quick for a short run.
# Then CPython beside PyPy (bench/results/interpreters.md); BENCH_BEFORE=DIR adds the
# figures of another build tree (with host/ and pypy/ in it) to the same run. Then the
# same under armhf CPython and PyPy (qemu, ratios only) as its own section of that file:
# 10000 documents, 100 queries and 3 rounds (medians) keep it to about 6 minutes on 2 cores.
# Last, the armhf instructions per call (bench-armhf-instructions below).
BENCH_VENV := $(BUILD)/bench-venv
bench: build-host build-pypy build-armhf-python
	test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/pip install --quiet hnswlib faiss-cpu matplotlib numpy
	PYTHONPATH=$(CURDIR)/$(HOST_DIR) $(BENCH_VENV)/bin/python bench/compare.py $(BENCH_ARGS)
	$(BENCH_VENV)/bin/python bench/interpreters.py $(if $(BENCH_BEFORE),--build before=$(BENCH_BEFORE)) \
	  --build after=$(BUILD) --rounds 3 --out bench/results/interpreters.md
	$(BENCH_VENV)/bin/python bench/interpreters.py --armhf $(BUILD) --docs 10000 --queries 100 --rounds 3 \
	  --out bench/results/interpreters.md
	$(MAKE) bench-armhf-instructions

# Executed armhf instructions per call under CPython and PyPy (qemu-arm with the
# armcount counting plugin in ARMCOUNT; counts repeat to the instruction), the board's
# own cost beside the x86-64 wall times above: bench/results/armhf_instructions.md holds
# them beside the figures before the kernel work (bench/results/armhf_instructions_before.md)
# and the goals checked. `make bench` runs it last; about 15 minutes on 2 cores.
ARMCOUNT ?= $(CURDIR)/../shared/tools/armcount
bench-armhf-instructions: build-armhf-python
	@test -x $(ARMCOUNT)/probe || { echo "no armcount probe in $(ARMCOUNT): set ARMCOUNT=DIR" >&2; exit 2; }
	BUILD=$(BUILD) $(ARMCOUNT)/probe --only cpython,pypy --work $(abspath $(BUILD))/armcount \
	  --json $(BUILD)/armhf_instructions.json > $(BUILD)/armhf_instructions.txt
	$(PYTHON) bench/armhf_table.py --before bench/results/armhf_instructions_before.md \
	  --after $(BUILD)/armhf_instructions.json --raw $(BUILD)/armhf_instructions.txt \
	  --commit "$$(git rev-parse --short HEAD 2>/dev/null)" > bench/results/armhf_instructions.md
.PHONY: bench-armhf-instructions

clean:
	rm -rf $(BUILD)
