# The two everyday commands:
#   make demo   installs the package and prices the demo table
#   make test   installs, then runs the core's C++ tests and the Python tests
# and, against the extension built with AddressSanitizer + UBSan:
#   make sanitized-tests   the Python tests
#   make fuzz              the fuzzer, FUZZ_SECONDS long (default 600)
PYTHON ?= python3
BUILD ?= build

.PHONY: demo test install deps core-tests python-tests sanitized-tests fuzz bench clean

demo: install
	$(PYTHON) -m brisklane demo

install:
	$(PYTHON) -m pip install -q ".[test]"

deps:
	@scripts/install-test-deps

test: deps install core-tests python-tests

core-tests:
	cmake -S . -B $(BUILD)/core -DBRISKLANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/core -j2
	ctest --test-dir $(BUILD)/core --output-on-failure

python-tests:
	$(PYTHON) -m pytest -q

sanitized-tests:
	scripts/sanitized python -m pytest -q -p no:cacheprovider

FUZZ_SECONDS ?= 600
fuzz:
	mkdir -p $(BUILD)/fuzz-corpus
	scripts/sanitized python fuzz/fuzz_native.py -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=$(BUILD)/fuzz- $(BUILD)/fuzz-corpus

bench:
	benchmarks/run

clean:
	rm -rf $(BUILD)
