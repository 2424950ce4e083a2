# Build and test the native layer in a private virtual environment.
#   make test                 build with Python 3.9 and run the test suite
#   make run                  build and run the package's main job
#   make test PYTHON=/path/to/python3.12
# MODULES="mesqua tollet" restricts the build, TESTS=... the pytest selection.

PYTHON ?= $(firstword $(wildcard /root/.pyenv/versions/3.9.*/bin/python3.9) $(shell command -v python3.9 2>/dev/null) python3.9)
PYTAG := $(shell $(PYTHON) -c 'import sys; print("%d%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= $(if $(filter 39,$(PYTAG)),.venv,.venv$(PYTAG))
BUILD_DIR ?= build/$(notdir $(VENV))
MODULES ?=
TESTS ?= tests
PYTEST_ARGS ?= -q
EXTRA_FLAGS ?=

VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
DEPS := scikit-build-core cmake ninja pytest hypothesis mypy

NATIVE_TESTS := $(wildcard tests/native/*.cpp)
NATIVE_BINS := $(patsubst tests/native/%.cpp,build/native/%,$(NATIVE_TESTS))
CXX ?= g++
NATIVE_FLAGS ?= -std=c++20 -O2 -g -Wall -Wextra -Isrc

.PHONY: test run install venv clean check-python native

check-python:
	@test -n "$(PYTAG)" || { echo "no usable Python found (PYTHON=$(PYTHON)); set PYTHON=" >&2; exit 1; }

$(STAMP): | check-python
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(DEPS)
	touch $@

venv: $(STAMP)

install: $(STAMP)
	@mkdir -p build
	flock build/.install-$(notdir $(VENV)).lock $(VPY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
		-C build-dir=$(BUILD_DIR) \
		-C cmake.define.TALVORA_MODULES="$(subst $() ,;,$(strip $(MODULES)))" \
		-C cmake.define.TALVORA_EXTRA_FLAGS="$(EXTRA_FLAGS)" .

build/native/%: tests/native/%.cpp $(wildcard src/*/*.hpp src/*/*/*.hpp)
	@mkdir -p build/native
	$(CXX) $(NATIVE_FLAGS) $(EXTRA_FLAGS) -o $@ $< -lpthread

# Native tests of the C++ cores (no Python involved).
native: $(NATIVE_BINS)
	@set -e; for t in $(NATIVE_BINS); do echo "== $$t"; $$t; done

test: native install
	cd tests && ../$(VENV)/bin/python -m pytest $(PYTEST_ARGS) $(patsubst tests/%,%,$(patsubst tests,.,$(TESTS)))

run: install
	cd tests && ../$(VENV)/bin/python -m talvora

clean:
	rm -rf build .venv .venv[0-9]*
