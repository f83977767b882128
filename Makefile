# Every recipe runs through tools/in-env, which provides Python 3.14, pybind11 3,
# Bullet and the rest (building a cached Debian forky environment when the host
# lacks them).
ENV := tools/in-env
BUILD := build
SANITIZE_BUILD := build-sanitize
CONFIGURE := cmake -G Ninja -DCMAKE_BUILD_TYPE=Release

.PHONY: build test test-sanitize fuzz demo clean

build:
	$(ENV) $(CONFIGURE) -S . -B $(BUILD) -DKORVEX_BUILD_PYTHON=ON -DKORVEX_SANITIZE=OFF
	$(ENV) cmake --build $(BUILD)

test: build
	$(ENV) ctest --test-dir $(BUILD) --output-on-failure -j 2
	$(ENV) python3 -m pytest

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

demo: build
	$(ENV) python3 -m korvex demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) build-fuzz
