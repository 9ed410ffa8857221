# Set-up, build and test. Every target does the whole set-up first (system packages, .venv, an
# incremental build) and is quick when nothing changed.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
BIN := $(CURDIR)/$(VENV)/bin
STAMPS := .stamps
CPP_BUILD := build/cpp
SYSTEM_PACKAGES := g++ pkg-config libfftw3-dev libgeographiclib-dev libgtest-dev libsleef-dev
BUILD_TOOLS := "scikit-build-core>=0.10" "numpy>=2" "cmake>=3.24" ninja
EXTRAS := test,plot
PROJECT_FILES := CMakeLists.txt pyproject.toml $(shell find src bindings python -type f \
                   -not -name '*.pyc' 2>/dev/null)

.PHONY: all test test-cpp test-python demo bench install system clean

all: install

test: test-cpp test-python

# System libraries: installed with apt-get when root, otherwise the exact command is named.
system:
	@missing=$$(for p in $(SYSTEM_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -eq 0 ]; then \
	    echo "installing system packages:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing system packages; run: sudo apt-get install -y" $$missing >&2; exit 1; \
	  fi; \
	fi

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

$(STAMPS)/venv: pyproject.toml | $(BIN)/python
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(BUILD_TOOLS)
	@mkdir -p $(STAMPS) && touch $@

# The project and its extras, built incrementally in build/<wheel tag>.
$(STAMPS)/install: $(PROJECT_FILES) $(STAMPS)/venv | system
	$(BIN)/python -m pip install -q --no-build-isolation ".[$(EXTRAS)]"
	@touch $@

install: system $(STAMPS)/install

$(CPP_BUILD)/build.ninja: CMakeLists.txt $(STAMPS)/venv | system
	$(BIN)/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(BIN)/ninja \
	  -DVARNETT_PYTHON=OFF -DVARNETT_TESTS=ON

test-cpp: system $(CPP_BUILD)/build.ninja
	$(BIN)/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(BIN)/ctest --output-on-failure -j2

test-python: install
	$(BIN)/python -m pytest -q

# The README's main command: simulate the bundled scenario, write records and pictures.
demo: install
	$(BIN)/varnett demo --out demo-output

BENCH_BUILD := build/bench

# Throughput, cost per (subfault, ray) pair against the floor of the method, and peak memory.
bench: system install
	$(BIN)/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(BIN)/ninja \
	  -DVARNETT_PYTHON=OFF -DVARNETT_BENCHMARKS=ON
	$(BIN)/cmake --build $(BENCH_BUILD) --target bench_station
	$(BENCH_BUILD)/benchmarks/bench_station 16
	$(BIN)/python benchmarks/bench_memory.py 64

clean:
	rm -rf build $(STAMPS) $(VENV)
