# The two everyday commands:
#   make demo   installs the package and prices the demo table
#   make test   installs, then runs the core's C++ tests and the Python tests
# and, against the extension built with AddressSanitizer + UBSan:
#   make sanitized-tests   the Python tests
#   make fuzz              the fuzzer, FUZZ_SECONDS long (default 600), half of it there
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

bench:
	benchmarks/run

clean:
	rm -rf $(BUILD)
