# Four builds: "build" (the shell, the host library and the tests),
# "build-sanitize" (the same tests under AddressSanitizer and UBSan),
# "build-tsan" (the threaded host under ThreadSanitizer) and "build-windows"
# (the Windows console shell, cross-built with MinGW-w64).
JOBS := $(shell nproc)
CMAKE_FLAGS := $(if $(CI),-DQUORVEL_WERROR=ON,)

.PHONY: all run test sanitize tsan windows clean

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

# build-windows/quorvel.exe, exporting the three engine functions by name.
windows:
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build build-windows -j $(JOBS) --target quorvel

clean:
	rm -rf build build-sanitize build-tsan build-windows
