# Thin wrapper over CMake: `make` builds, `make run` builds pelmorin alone and
# converts the sample fax file, `make test` builds and runs the whole test
# suite. `run` and `test` first install the Debian packages they need when
# missing (tools/install-deps.sh holds the lists); NO_INSTALL=1 turns that off.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
ifeq ($(CI),true)
  CMAKE_FLAGS += -DTAVRIN_WERROR=ON
endif
DEPS = NO_INSTALL=$(NO_INSTALL) sh tools/install-deps.sh

.PHONY: all build run test bench clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Each step in turn, so that `make -j` cannot configure before the packages are in.
run:
	@$(DEPS) run
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target pelmorin
	rm -rf out && mkdir -p out
	$(BUILD)/pelmorin examples/sample.fax out/page
	@ls -l out

test:
	@$(DEPS) test
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j$(JOBS)

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BENCH=ON -DTAVRIN_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	build-bench/bench/tavrin_bench
	if [ -x build-bench/bench/make_fax_pages ]; then \
		bench/convert_vs_tiffcp.sh build-bench/pelmorin build-bench/bench/make_fax_pages; fi

clean:
	rm -rf $(BUILD) build-bench out
