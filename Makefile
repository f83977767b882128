# Every recipe runs through tools/in-env, which provides Python 3.14, pybind11 3,
# Bullet and the rest (building a cached Debian forky environment when the host
# lacks them).
ENV := tools/in-env
BUILD := build
SANITIZE_BUILD := build-sanitize
CONFIGURE := cmake -G Ninja -DCMAKE_BUILD_TYPE=Release

.PHONY: build test test-sanitize demo clean

build:
	$(ENV) $(CONFIGURE) -S . -B $(BUILD)
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

demo: build
	$(ENV) python3 -m korvex demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
