# corvane: build, test and demo entry points.
#   make test   create .venv if missing, install build and test requirements,
#               build the extension with the test-only module, run the test suite
#   make demo   install only what the demo needs, build the extension quickly
#               (no test module, -O0) and run examples/demo.py
#   make wheel  build a wheel for this machine's Python into dist/

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
STAMP  := $(VENV)/.deps-stamp
PIP_BUILD := $(PIP) install --no-build-isolation --no-deps --quiet
# Every install is held to the versions in constraints.txt (`make lock`
# refreshes them), so a new release of a dependency cannot change a build.
PIP_PINNED := $(PIP) install --quiet -c constraints.txt

# What each command needs is installed once and remembered by a stamp: a
# wheel needs only the build, the demo the build and the packages it imports,
# the tests the rest.
BUILD_STAMP := $(VENV)/.build-stamp
DEMO_STAMP  := $(VENV)/.demo-stamp
STAMP       := $(VENV)/.deps-stamp

.PHONY: all venv build build-demo build-tests test test-sanitize test-clang check-wheel wheel ci demo bench bench-deps lock clean

all: build

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP_PINNED) --upgrade pip

$(BUILD_STAMP): requirements-build.txt constraints.txt | $(PY)
	$(PIP_PINNED) -r requirements-build.txt
	touch $@

$(DEMO_STAMP): requirements-build.txt requirements-demo.txt constraints.txt | $(PY)
	$(PIP_PINNED) -r requirements-demo.txt
	touch $@

$(STAMP): requirements-dev.txt $(DEMO_STAMP)
	$(PIP_PINNED) -r requirements-dev.txt
	touch $@

venv: $(STAMP)

# Persistent build directories keep rebuilds incremental.
build: $(STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/release .

# The demo's build is run once, to show the package: the extension alone (no
# test-only module), at -O0 and without the vector-lanes steps, which compiles
# in under a third of -O3's time and gives the same bits (only slower on large data).
# It goes into a folder of its own, ahead of the venv's package on the path,
# so the optimised package that make build or make test installed stays.
DEMO_SITE := build/demo-site
build-demo: $(DEMO_STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/demo -Ccmake.define.CORVANE_BUILD_TESTS=OFF \
	  -Ccmake.define.CORVANE_OPTIMIZE=-O0 -Ccmake.define.CORVANE_LANES=OFF \
	  --target $(DEMO_SITE) --upgrade .

build-tests: $(STAMP)
	$(PIP_BUILD) -Cbuild-dir=build/tests -Ccmake.define.CORVANE_BUILD_TESTS=ON -Ccmake.define.CORVANE_WERROR=ON .

# The suite runs in two parts: the tests that may share the machine on every
# CPU (pytest-xdist; each module stays on one worker, so its fixtures are built
# once), then the timing- and thread-sensitive ones ("serial") alone. MARKS
# narrows both parts to a marker expression (see pyproject.toml: the Clang and
# sanitizer builds run the "native" tests, the wheel the "wheel" ones; the
# GCC build runs everything). A part with nothing selected is no failure.
PYTEST   := -m pytest -q -p no:cacheprovider
PARALLEL ?= -n auto --dist loadscope
# $(1): the command that runs Python; $(2): the marker expression ("" for all).
define run_suite
	$(1) $(PYTEST) $(PARALLEL) -m "$(if $(2),($(2)) and )not serial" $(PYTEST_ARGS) tests || [ $$? = 5 ]
	$(1) $(PYTEST) -m "$(if $(2),($(2)) and )serial" $(PYTEST_ARGS) tests || [ $$? = 5 ]
endef

test: build-tests
	$(call run_suite,$(PY),)

# The tests of the compiled core ("native") against an AddressSanitizer +
# UndefinedBehaviorSanitizer build of both modules, installed into its own folder (the venv's normal
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
	$(call run_suite,$(SAN_ENV) $(PY),native)

# The tests of the compiled core ("native") against a Clang build (warnings
# as errors), installed into its own folder ahead of the venv's package on
# the path.
CLANG_SITE := build/clang-site
test-clang: $(STAMP)
	CXX=clang++ $(PIP_BUILD) -Cbuild-dir=build/clang -Ccmake.define.CORVANE_BUILD_TESTS=ON \
	  -Ccmake.define.CORVANE_WERROR=ON --target $(CLANG_SITE) --upgrade .
	$(call run_suite,PYTHONPATH=$(abspath $(CLANG_SITE)) $(PY),native)

# What a user installs: an sdist, a wheel built from that sdist (so a file
# missing from the sdist fails here), the wheel installed with its extras in
# a fresh venv, and the tests of the installed package ("wheel") run from a
# copy of tests/ with no source tree on the path (the internals' tests need
# the test-only module and are left out).
DIST       := build/dist
WHEEL_VENV := build/wheel-venv
WHEEL_RUN  := build/wheel-tests
check-wheel: $(STAMP)
	rm -rf $(DIST) $(WHEEL_VENV) $(WHEEL_RUN)
	mkdir -p $(DIST) $(WHEEL_RUN)
	$(PY) -c "from scikit_build_core.build import build_sdist; build_sdist('$(DIST)')"
	tar -xzf $(DIST)/corvane-*.tar.gz -C $(DIST)
	$(PIP) wheel --no-build-isolation --no-deps --quiet -w $(DIST) $$(ls -d $(DIST)/corvane-*/)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet -c constraints.txt \
	  "$$(ls $(DIST)/corvane-*.whl)[formula,arrow,dask,plot]" pytest pytest-xdist hypothesis statsmodels
	cp -r tests $(WHEEL_RUN)/
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -c "import corvane, sys; assert 'site-packages' in corvane.__file__, corvane.__file__"
	$(call run_suite,cd $(WHEEL_RUN) && ../wheel-venv/bin/python,wheel)

# Everything CI runs.
ci: test test-clang check-wheel test-sanitize

# A wheel of the package, optimised as users install it, for this machine's
# Python and platform, built with the pinned build requirements; the
# cibuildwheel configuration in pyproject.toml builds the platforms' wheels.
wheel: $(BUILD_STAMP)
	$(PIP) wheel --no-build-isolation --no-deps --quiet -Cbuild-dir=build/wheel -w dist .
	@ls dist/corvane-*.whl

demo: build-demo
	PYTHONPATH=$(abspath $(DEMO_SITE)) $(PY) examples/demo.py

# The peers' table (bench/peers.py) needs statsmodels (installed here) and,
# for its lme4 column, R with lme4 (`make bench-deps`); without R that
# column says "not installed".
bench: build
	$(PIP_PINNED) -r bench/requirements.txt
	$(PY) bench/peers.py
	$(PY) bench/construct.py
	$(PY) bench/evaluate.py
	$(PY) bench/derived.py
	$(PY) bench/frontend.py
	$(PY) bench/lanes.py
	$(PY) bench/small_call.py
	$(PY) bench/inference.py
	$(PY) bench/stream.py
	$(PY) bench/signals.py

bench-deps:
	@if [ "$$(id -u)" = 0 ]; then \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends r-base-core r-cran-lme4; \
	else \
	  echo "bench-deps installs R and lme4 with apt-get and needs root: sudo make bench-deps"; exit 1; \
	fi

# Re-resolves every requirement file in a scratch venv at today's newest
# releases and writes the versions it got to constraints.txt. Run it, then
# `make test`, and commit constraints.txt when the suite passes.
LOCK_VENV := build/lock-venv
lock:
	rm -rf $(LOCK_VENV)
	$(PYTHON) -m venv $(LOCK_VENV)
	$(LOCK_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(LOCK_VENV)/bin/python -m pip install --quiet -r requirements-dev.txt -r bench/requirements.txt
	{ echo "# Exact versions of everything make test, make demo, make bench and CI install."; \
	  echo "# Generated by 'make lock' with $$($(LOCK_VENV)/bin/python --version); do not edit by hand."; \
	  $(LOCK_VENV)/bin/python -m pip freeze --all | grep -v -i '^corvane'; } > constraints.txt
	rm -rf $(LOCK_VENV)

clean:
	rm -rf build dist demo_ranef.png
