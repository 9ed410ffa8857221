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

.PHONY: all test test-cpp test-python demo bench install system clean test-sanitize test-tsan \
        fuzz memcheck

all: install

test: test-cpp test-python

# System libraries: installed with apt-get when root, otherwise the exact command is named.
system:
	@missing=$$(for p in $(SYSTEM_PACKAGES) $(EXTRA_SYSTEM_PACKAGES); do \
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

# --- Reliability: sanitizers, a thread stress test, fuzzing, valgrind ---------------------------

SANITIZE_BUILD := build/asan
TSAN_BUILD := build/tsan
SANITIZER_FILES := $(CURDIR)/tests/sanitizers
SANITIZER_CMAKE = $(BIN)/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(BIN)/ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_CHECKS := allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1
UBSAN_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The interpreter is not built with AddressSanitizer, so its runtime is preloaded, and every
# Python object goes through malloc (PYTHONMALLOC=malloc) so that ASan sees it.
ASAN_PYTHON = $(UBSAN_ENV) PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(SANITIZE_BUILD) \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  $(BIN)/python
# Leak checks of the module's own tests: the slow unwinder gives LeakSanitizer the whole
# allocation stack that its suppressions match against.
LEAK_CHECKED = ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:$(ASAN_CHECKS) \
  LSAN_OPTIONS=suppressions=$(SANITIZER_FILES)/lsan.supp

# The C++ tests and the Python tests against an AddressSanitizer + UBSan build of the core, the
# tests and the extension (build/asan, found first on PYTHONPATH). The tests of the varnett
# package import SciPy, Matplotlib and Dask, whose imports leave thousands of objects behind at
# exit: they run with every ASan and UBSan check but LeakSanitizer's; the module's own tests,
# which exercise every entry point of _varnett, run with it.
test-sanitize: install
	$(SANITIZER_CMAKE) -S . -B $(SANITIZE_BUILD) -DVARNETT_PYTHON=ON -DVARNETT_TESTS=ON \
	  -DVARNETT_SANITIZE=address,undefined -DPython_EXECUTABLE=$(BIN)/python
	$(BIN)/cmake --build $(SANITIZE_BUILD)
	cd $(SANITIZE_BUILD) && $(LEAK_CHECKED) $(UBSAN_ENV) $(BIN)/ctest --output-on-failure -j2
	$(LEAK_CHECKED) $(ASAN_PYTHON) -c 'import _varnett, sys; sys.exit(None if "/$(SANITIZE_BUILD)/" in \
	  _varnett.__file__ else "not the sanitized _varnett: " + _varnett.__file__)'
	$(LEAK_CHECKED) $(ASAN_PYTHON) -m pytest -q -p no:cacheprovider \
	  --ignore-glob='*/test_package_*'
	ASAN_OPTIONS=detect_leaks=0:$(ASAN_CHECKS) $(ASAN_PYTHON) -m pytest -q -p no:cacheprovider \
	  tests/python/test_package_*.py

# One Simulator driven from 8 threads under ThreadSanitizer. ASLR is turned off for the run:
# the TSan of GCC 12 cannot map its shadow memory under the address randomisation of newer kernels.
test-tsan: system $(STAMPS)/venv
	$(SANITIZER_CMAKE) -S . -B $(TSAN_BUILD) -DVARNETT_PYTHON=OFF -DVARNETT_TESTS=ON \
	  -DVARNETT_SANITIZE=thread
	$(BIN)/cmake --build $(TSAN_BUILD) --target test_threads
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  setarch $$(uname -m) --addr-no-randomize $(TSAN_BUILD)/test_threads

# A long fuzzing session of the Python API (a short one runs in `make test`), killed if it hangs.
FUZZ_EXAMPLES ?= 5000
FUZZ_TIME_LIMIT ?= 3600
fuzz: install
	timeout --signal=KILL $(FUZZ_TIME_LIMIT) $(BIN)/python tests/python/fuzz_api.py \
	  --examples $(FUZZ_EXAMPLES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

# valgrind memcheck over a small end-to-end run; see tests/sanitizers/valgrind.supp for the
# interpreter noise it suppresses and why the interpreter compiles from source here.
memcheck: EXTRA_SYSTEM_PACKAGES := valgrind
memcheck: install
	rm -rf build/memcheck-pycache && mkdir -p build/memcheck-pycache
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
	  --errors-for-leak-kinds=definite --error-exitcode=1 --num-callers=40 -s \
	  --suppressions=$(SANITIZER_FILES)/valgrind.supp \
	  $(BIN)/python -B -X pycache_prefix=build/memcheck-pycache tests/sanitizers/end_to_end.py

clean:
	rm -rf build $(STAMPS) $(VENV)
