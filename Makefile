# Wraps CMake. Every target installs what it needs first (scripts/install-deps.sh).
JOBS ?= $(shell nproc)
CTEST_JOBS ?= $(shell echo $$(( $$(nproc) * 4 )))
CMAKE_FLAGS ?=

.PHONY: all deps build test test-asan test-tsan demo fuzz bench-scale install package clean

all: build

deps:
	@./scripts/install-deps.sh

define configure
	cmake -S . -B $(1) -G Ninja $(2) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(1) -j $(JOBS)
endef

build: deps
	$(call configure,build,)

# The suite waits on the real protocol time-outs (2000 ms, 3000 ms), so CTest runs
# many cases side by side; they use distinct loopback addresses and never collide.
# Chromium is only for the browser test, which reports itself skipped without it.
test: build
	@./scripts/install-deps.sh browser || echo "Chromium could not be installed: the browser test will be skipped"
	cd build && ctest -j $(CTEST_JOBS) --output-on-failure --timeout 300

test-asan: deps
	$(call configure,build-asan,-DNETPOD_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest -j $(CTEST_JOBS) --output-on-failure --timeout 300

test-tsan: deps
	$(call configure,build-tsan,-DNETPOD_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest -j $(CTEST_JOBS) --output-on-failure --timeout 300

# The fuzz harnesses need clang's libFuzzer; each runs for FUZZ_SECONDS, keeping
# its corpus in build-fuzz/corpus between runs.
FUZZ_SECONDS ?= 60
FUZZERS = response_fuzz udp_assembler_fuzz icmp_echo_fuzz
fuzz:
	@./scripts/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DNETPOD_BUILD_TESTS=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZERS)
	for h in $(FUZZERS); do \
		mkdir -p build-fuzz/corpus/$$h && \
		build-fuzz/fuzz/$$h -max_total_time=$(FUZZ_SECONDS) -max_len=4096 build-fuzz/corpus/$$h || exit 1; \
	done

# The scale benchmark, run by hand: the library beside a raw-socket client (README,
# "Performance"). BENCH_ARGS=--quick is the short gross-regression check of CI.
# It builds only itself and the library.
BENCH_ARGS ?=
bench-scale: deps
	cmake -S . -B build -G Ninja $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS) --target netpod_scale_bench
	build/bench/scale/netpod_scale_bench $(BENCH_ARGS)

demo: build
	./scripts/demo.sh build

install: build
	cmake --install build

# The Debian packages of the build (cmake/packaging.cmake), written into build/.
package: build
	cmake --build build --target package

clean:
	rm -rf build build-asan build-tsan build-fuzz
