# SPDX-License-Identifier: Apache-2.0
# Wraps the CMake presets. `make demo` renders the built-in demo; `make test` runs the tests and
# ends with one line naming the tests skipped for want of a Debian package. PRESET chooses the
# preset of both (.ci/run's bare stage builds into its own).
# `make conformance PORT=DIR` runs the platform's conformance tests against the seam's
# implementation in DIR (docs/porting.md).
JOBS ?= $(shell nproc)
CTEST_ARGS ?=
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
FUZZ_BUILD ?= build/fuzz
PRESET ?= default

PORT ?= platform/kernel/threads
PORT_ENV ?=

.PHONY: all demo metal test-metal test test-asan test-tsan test-m32 test-release test-clang conformance bench fuzz \
        format clean

all:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The demo needs kxplay and the libraries it links, not the test suite (nor GoogleTest).
demo:
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS) --target kxplay
	./build/$(PRESET)/tools/kxplay --demo

# The bootable i686 image (metal/, docs/metal.md): its own preset and toolchain, freestanding
# g++ -m32; installed into build/metal/install, never into the host's prefix.
metal:
	cmake --preset metal
	cmake --build --preset metal -j $(JOBS)
	cmake --install build/metal

# The image under QEMU against the host's --fast render, byte for byte (tests/metal/run_metal.py):
# the demo, METAL_SCENES of the reference model's scenarios at each of 1024, 256 and 4096 frames
# (exported by model_scene, and held to the model's prediction too), the image's kernel checks,
# broken archives, a hog above the mixer and a heap that runs out.
METAL_SCENES ?= 50
test-metal: metal
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target kxplay model_scene
	python3 tests/metal/run_metal.py build/default/tools/kxplay \
	        build/metal/install/share/kxaudio/kxaudio-metal.elf --scenes $(METAL_SCENES) --jobs $(JOBS)

# ctest's status is kept while the closing line is printed.
define run_tests
	cmake --preset $(1)
	cmake --build --preset $(1) -j $(JOBS)
	ctest --preset $(1) -j $(JOBS) $(CTEST_ARGS); status=$$?; \
	  cmake -DBUILD_DIR=build/$(1) -P tests/skipped_summary.cmake; exit $$status
endef

test:
	$(call run_tests,$(PRESET))

test-asan:
	$(call run_tests,asan)

test-tsan:
	$(call run_tests,tsan)

test-m32:
	$(call run_tests,m32)

test-release:
	$(call run_tests,release)

test-clang:
	$(call run_tests,clang)

# The kernel and device tests built against the sources in PORT (which take precedence over the
# tree's platform/), run with the environment PORT_ENV (VAR=value ...).
conformance:
	cmake -S . -B build/conformance -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=ON \
	      -DKX_PORT="$(abspath $(PORT))" -DKX_PORT_ENV="$(PORT_ENV)"
	cmake --build build/conformance -j $(JOBS) --target conformance
	ctest --test-dir build/conformance -L conformance -j $(JOBS) --output-on-failure $(CTEST_ARGS)

bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	./bench/run

# libFuzzer targets (clang, AddressSanitizer, UBSan): each runs FUZZ_SECONDS over its corpus, or
# FUZZ_RUNS inputs when that is given (make fuzz FUZZ_RUNS=10000000).
fuzz:
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_RUNS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
