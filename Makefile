# Every recipe runs through tools/in-env, which provides Python 3.14, pybind11 3,
# Bullet and the rest (building a cached Debian forky environment when the host
# lacks them).
ENV := tools/in-env
BUILD := build
SANITIZE_BUILD := build-sanitize
CONFIGURE := cmake -G Ninja -DCMAKE_BUILD_TYPE=Release

.PHONY: build test test-slow test-all test-sanitize fuzz bench bench-smoke demo clean

# Builds the benchmarks too, so that CTest can check that they still run.
build:
	$(ENV) $(CONFIGURE) -S . -B $(BUILD) -DKORVEX_BUILD_PYTHON=ON -DKORVEX_SANITIZE=OFF -DKORVEX_BUILD_BENCHMARKS=ON
	$(ENV) cmake --build $(BUILD)

# The quick tier: every test but those labelled or marked slow.
test: build
	$(ENV) ctest --test-dir $(BUILD) --output-on-failure -j 2 --label-exclude bench
	$(ENV) python3 -m pytest -m "not slow"

# What the quick tier leaves out: the slow tests and one run of every benchmark on tiny scenes.
test-slow: build
	$(ENV) ctest --test-dir $(BUILD) --output-on-failure -j 2 --label-regex bench
	$(ENV) python3 -m pytest -m slow

test-all: test test-slow

test-sanitize:
	$(ENV) $(CONFIGURE) -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKORVEX_SANITIZE=ON -DKORVEX_BUILD_PYTHON=OFF
	$(ENV) cmake --build $(SANITIZE_BUILD)
	$(ENV) env UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j 2

# Runs the stacking fuzzer (clang's libFuzzer, with ASan and UBSan) for a bounded time.
FUZZ_SECONDS ?= 60
fuzz:
	$(ENV) env CXX=clang++ $(CONFIGURE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKORVEX_SANITIZE=ON -DKORVEX_BUILD_FUZZERS=ON -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_PYTHON=OFF
	$(ENV) cmake --build build-fuzz --target korvex_stack_fuzzer
	$(ENV) sh -c 'mkdir -p build-fuzz/corpus && build-fuzz/tests/fuzz/korvex_stack_fuzzer \
		-max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus'

# Runs the benchmarks on full-size scenes and writes bench/results/<hostname>.json. Every figure is a
# ratio to a baseline measured in the same run, so that a busy machine slows both alike.
bench: build
	$(ENV) python3 bench/run.py --build-dir $(BUILD) --commit "$$(git rev-parse --short HEAD 2>/dev/null)"

# Runs every benchmark once on tiny scenes, timing nothing (`make test` does it too, through CTest).
bench-smoke: build
	$(ENV) python3 bench/run.py --build-dir $(BUILD) --smoke

demo: build
	$(ENV) python3 -m korvex demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) build-fuzz
