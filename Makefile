# Thin wrapper over CMake: `make` builds, `make run` converts the sample fax
# file, `make test` builds and runs the whole test suite.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
ifeq ($(CI),true)
  CMAKE_FLAGS += -DTAVRIN_WERROR=ON
endif

.PHONY: all build run test bench clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	rm -rf out && mkdir -p out
	$(BUILD)/pelmorin examples/sample.fax out/page
	@ls -l out

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BENCH=ON -DTAVRIN_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	build-bench/bench/tavrin_bench
	if [ -x build-bench/bench/make_fax_pages ]; then \
		bench/convert_vs_tiffcp.sh build-bench/pelmorin build-bench/bench/make_fax_pages; fi

clean:
	rm -rf $(BUILD) build-bench out
