# Two builds: "build" (the shell, the host library and the tests) and
# "build-sanitize" (the same tests under AddressSanitizer and UBSan).
JOBS := $(shell nproc)
CMAKE_FLAGS := $(if $(CI),-DQUORVEL_WERROR=ON,)

.PHONY: all run test sanitize clean

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

clean:
	rm -rf build build-sanitize
