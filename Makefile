# corvane: build, test and demo entry points.
#   make test   create .venv if missing, install build and test requirements,
#               build the extension with the test-only module, run the test suite
#   make demo   build the extension and run the example in examples/demo.py

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
STAMP  := $(VENV)/.deps-stamp
PIP_BUILD := $(PIP) install --no-build-isolation --no-deps --quiet

.PHONY: all venv build build-tests test test-sanitize demo bench bench-deps clean

all: build

$(PY):
	$(PYTHON) -m venv $(VENV)

$(STAMP): requirements-dev.txt | $(PY)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet -r requirements-dev.txt
	touch $@

venv: $(STAMP)

# Persistent build directories keep rebuilds incremental.
build: $(STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/release .

build-tests: $(STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/tests -Ccmake.define.CORVANE_BUILD_TESTS=ON .

test: build-tests
	$(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of both modules, installed into its own folder (the venv's normal
# build is left alone). The interpreter is not instrumented, so the ASan
# runtime is preloaded, with libstdc++ so that ASan finds the C++ runtime's
# exception entry points at start-up; leak detection is off because CPython
# itself keeps memory until exit. Any report fails the run.
SAN_SITE := build/sanitize-site
SAN_ENV  := PYTHONPATH=$(abspath $(SAN_SITE)) \
            LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CXX ?= g++

test-sanitize: $(STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.CORVANE_BUILD_TESTS=ON -Ccmake.define.CORVANE_SANITIZE=ON \
	  --target $(SAN_SITE) --upgrade .
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests

demo: build
	$(PY) examples/demo.py

# The peers' table (bench/peers.py) needs statsmodels (installed here) and,
# for its lme4 column, R with lme4 (`make bench-deps`); without R that
# column says "not installed".
bench: build
	$(PIP) install --quiet -r bench/requirements.txt
	$(PY) bench/peers.py
	$(PY) bench/construct.py
	$(PY) bench/evaluate.py
	$(PY) bench/derived.py

bench-deps:
	@if [ "$$(id -u)" = 0 ]; then \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends r-base-core r-cran-lme4; \
	else \
	  echo "bench-deps installs R and lme4 with apt-get and needs root: sudo make bench-deps"; exit 1; \
	fi

clean:
	rm -rf build
