# Six builds: "build" (the shell, the host library and the tests),
# "build-sanitize" (the same tests under AddressSanitizer and UBSan),
# "build-tsan" (the threaded host under ThreadSanitizer), "build-fuzz"
# (the libFuzzer targets, built with clang), "build-bench" (the benchmark
# against SQLite) and "build-windows" (the Windows console shell,
# cross-built with MinGW-w64).
JOBS := $(shell nproc)
CMAKE_FLAGS := $(if $(CI),-DQUORVEL_WERROR=ON,)

.PHONY: all run test sanitize tsan fuzz fuzz-seeds bench bench-instructions windows clean

all:
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# Builds only the shell, so it needs nothing but cmake, make and g++. The
# shell keeps its files in data/, so they stay out of the source tree.
run:
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target quorvel
	mkdir -p data
	cd data && ../build/quorvel

# Asks for the tests explicitly, so a machine without GoogleTest is told so.
test:
	cmake -S . -B build -DQUORVEL_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Sanitize -DQUORVEL_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-sanitize -j $(JOBS)
	ctest --test-dir build-sanitize --output-on-failure -j $(JOBS)

# Eight host threads calling the engine at once, under ThreadSanitizer.
tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Tsan -DQUORVEL_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target quorvel_threads
	build-tsan/tests/quorvel_threads

# Each fuzz target for FUZZ_SECONDS on a copy of its seed corpus; any crash,
# sanitizer report, leak or input slower than a second fails. The targets
# work in a private directory of their own, so every path they get is absolute.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := commands startup
FUZZ_DIR := $(CURDIR)/build-fuzz

fuzz:
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/artifacts/$$t && \
	  echo "== $${t}_fuzzer for $(FUZZ_SECONDS) s" && \
	  $(FUZZ_DIR)/$${t}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=1 -detect_leaks=1 \
	    -max_len=16384 -dict=$(CURDIR)/fuzz/$$t.dict -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/artifacts/$$t/ \
	    $(FUZZ_DIR)/corpus/$$t $(CURDIR)/fuzz/corpus/$$t || exit 1; \
	done

# Writes the committed seed corpora again from files the engine writes.
fuzz-seeds:
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS) --target seed_corpus
	build-fuzz/seed_corpus $(CURDIR)/fuzz/corpus

# The benchmark against SQLite in a build of its own; BENCH_N lists the row
# counts, e.g. make bench BENCH_N="10000 100000" for a quick run.
BENCH_N ?= 100000 1000000
bench:
	cmake -S . -B build-bench -DQUORVEL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target quorvel_bench
	build-bench/bench/quorvel_bench $(BENCH_N)

# Instructions per operation under valgrind --tool=callgrind, through the
# host library, at INSTRUCTIONS_N rows: repeatable where times are not.
INSTRUCTIONS_N ?= 20000
bench-instructions:
	cmake -S . -B build-bench -DQUORVEL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target quorvel_instructions
	build-bench/bench/quorvel_instructions $(INSTRUCTIONS_N)

# build-windows/quorvel.exe, exporting the three engine functions by name.
windows:
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build build-windows -j $(JOBS) --target quorvel

clean:
	rm -rf build build-nogtest build-sanitize build-tsan build-fuzz build-bench build-windows
