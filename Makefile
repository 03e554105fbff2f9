# The two set-up commands of the README: `make demo` and `make test`. Both
# install the Debian packages they need first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
FUZZ_DIR ?= build-fuzz
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps build test test-asan demo fuzz bench install clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	@[ -f $(BUILD_DIR)/CMakeCache.txt ] || cmake -S . -B $(BUILD_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@[ -f $(ASAN_DIR)/CMakeCache.txt ] || cmake -S . -B $(ASAN_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZELO_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

# Makes its own pictures and sound, converts them to JEX and to AVI with
# sound, and prints what zelo info says of both.
demo: build
	tools/demo.sh $(BUILD_DIR)

# libFuzzer targets (clang); run one with e.g. build-fuzz/fuzz/bmp_fuzzer -max_total_time=600
fuzz:
	@tools/install-deps.sh --extra
	@[ -f $(FUZZ_DIR)/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELO_FUZZ=ON -DZELO_TESTS=ON
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzzers

bench: deps
	@tools/install-deps.sh --extra
	@[ -f build-bench/CMakeCache.txt ] || cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DZELO_BENCH=ON -DZELO_TESTS=OFF
	cmake --build build-bench -j$(JOBS)

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) build-bench
