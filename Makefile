# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build run run-postgres test bench sanitize package clean

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

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-asan -DLEDGERWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# The Debian package, in $(BUILD)/: ledgerwick_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	@scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) build-asan
