# The two everyday commands:
#   make demo   installs the package and prices the demo table
#   make test   installs, then runs the core's C++ tests and the Python tests
PYTHON ?= python3
BUILD ?= build

.PHONY: demo test install deps core-tests python-tests bench clean

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

bench:
	benchmarks/run

clean:
	rm -rf $(BUILD)
