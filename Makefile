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

.PHONY: all venv build build-tests test demo bench clean

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

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) bench/construct.py
	$(PY) bench/evaluate.py
	$(PY) bench/derived.py

clean:
	rm -rf build
