# Four builds: "build" (the shell, the host library and the tests),
# "build-sanitize" (the same tests under AddressSanitizer and UBSan),
# "build-tsan" (the threaded host under ThreadSanitizer) and "build-bench"
# (the benchmark against SQLite).
JOBS := $(shell nproc)
CMAKE_FLAGS := $(if $(CI),-DQUORVEL_WERROR=ON,)

.PHONY: all run test sanitize tsan bench clean

all:
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# The shell keeps its files in data/, so they stay out of the source tree.
run: all
	mkdir -p data
	cd data && ../build/quorvel

test: all
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Sanitize $(CMAKE_FLAGS)
	cmake --build build-sanitize -j $(JOBS)
	ctest --test-dir build-sanitize --output-on-failure -j $(JOBS)

# Eight host threads calling the engine at once, under ThreadSanitizer.
tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Tsan $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target quorvel_threads
	build-tsan/tests/quorvel_threads

# The benchmark against SQLite in a build of its own; BENCH_N lists the row
# counts, e.g. make bench BENCH_N="10000 100000" for a quick run.
BENCH_N ?= 100000 1000000
bench:
	cmake -S . -B build-bench -DQUORVEL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target quorvel_bench
	build-bench/bench/quorvel_bench $(BENCH_N)

clean:
	rm -rf build build-sanitize build-tsan build-bench
