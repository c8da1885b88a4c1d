# Top-level entry points. `make test` installs what is missing, builds and runs every test.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test demo asan-test tsan-test fuzz-smoke format format-check clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The whole system on loopback: two requests, their answers, then everything stopped.
demo: build
	BUILD=$(BUILD) scripts/demo.sh

# AddressSanitizer + UndefinedBehaviorSanitizer build, all tests.
asan-test: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Asan -DESM_BUILD_BENCH=OFF
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

# ThreadSanitizer build, the tests that run threads and sockets.
tsan-test: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Tsan -DESM_BUILD_BENCH=OFF
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && ctest --output-on-failure -j$(JOBS) -L "net|e2e"

# libFuzzer targets, a short run each (FUZZ_SECONDS, default 20).
fuzz-smoke:
	@WITH_CLANG=1 scripts/install-deps.sh
	scripts/fuzz.sh $${FUZZ_SECONDS:-20}

# The layout of every C++ file, as .clang-format says.
format:
	scripts/format.sh

format-check:
	@WITH_FORMAT=1 scripts/install-deps.sh
	scripts/format.sh --check

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
