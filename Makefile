# Wraps the CMake presets. `make demo` renders the built-in demo; `make test` runs the tests.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build/fuzz

.PHONY: all demo test test-asan test-tsan test-m32 bench fuzz format clean

all:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: all
	./build/default/tools/kxplay --demo

define run_tests
	cmake --preset $(1)
	cmake --build --preset $(1) -j $(JOBS)
	ctest --preset $(1) -j $(JOBS) $(CTEST_ARGS)
endef

test:
	$(call run_tests,default)

test-asan:
	$(call run_tests,asan)

test-tsan:
	$(call run_tests,tsan)

test-m32:
	$(call run_tests,m32)

bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	./bench/run

# libFuzzer targets (clang, AddressSanitizer, UBSan): each runs FUZZ_SECONDS over its corpus.
fuzz:
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
