# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Seconds each fuzz target runs for in `make fuzz`.
FUZZ_SECONDS ?= 30

.PHONY: deps build run run-postgres test bench sanitize sanitize-build package fuzz clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-daemon $(BUILD)

# Like run, with a network store on a throwaway PostgreSQL cluster in ./var/postgres.
run-postgres: build
	@scripts/run-postgres $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer (leaks too),
# with every daemon and command the tests start built and checked the same way.
# A finding fails the test that met it.
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: sanitize-build
	cd build-asan && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

sanitize-build: deps
	cmake -S . -B build-asan -DLEDGERWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

# The Debian package, in $(BUILD)/: ledgerwick_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# The libFuzzer targets, built with clang in build-fuzz/, each run for FUZZ_SECONDS from
# its seeds in fuzz/corpus/; what they find is in build-fuzz/fuzz-artifacts/.
fuzz:
	@scripts/install-deps fuzz
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLEDGERWICK_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target ledgerwick_fuzzers
	@scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

bench: build
	@scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz
