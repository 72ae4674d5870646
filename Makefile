# make demo                          build the ulmot tool and read tags from the embedded emulated reader
# make test                          configure, build and run the whole suite (Debian packages
#                                    it needs are installed first when missing: tools/deps.sh)
# make test SANITIZE=address,undefined   the same under ASan+UBSan (build-address-undefined/)
# make test SANITIZE=thread          the same under ThreadSanitizer (build-thread/)
# make bench                         build in Release and run the benchmarks
# make python-bench                  reads/s into a Python loop, beside the hand-off's floor
# make check-interface               what the built libulmot.so exports
# make fuzz                          build the libFuzzer targets (clang) in build-fuzz/ and run
#                                    each for FUZZ_SECONDS (default 60) over its seed corpus
# make soak                          the fault-injection soak for SOAK_SECONDS (600) seconds
# make mutants                       mutation run: MUTANTS (40) faults planted in the library's
#                                    sources, drawn with SEED (1), each against the whole suite,
#                                    in MUTANTS_DIR (build-mutants/); MUTANTS_ARGS="--list" only
#                                    prints the sample, MUTANTS_ARGS="--only 3,7" re-runs #3, #7
# make cross ARCH=aarch64            cross-build for ARCH (aarch64 or s390x, the big-endian one) in
#                                    build-ARCH/ with Debian's g++-ARCH-linux-gnu (cmake/toolchain-ARCH.cmake):
#                                    the library, the transports, the emulator, the examples and the
#                                    test suites, GoogleTest built from /usr/src/googletest; not the
#                                    tools, benchmarks or the suites that host programs drive
# make cross-test ARCH=s390x         the same, then every suite under qemu-user (ctest), its waits
#                                    scaled by CROSS_TIME_SCALE (3) through ULMOT_TEST_TIME_SCALE
# make cross-ci ARCH=s390x           only the suites of CROSS_CI_SUITES (items, buffers, session, end to
#                                    end), built at -O0 in build-ARCH-ci/ and run under qemu-user: .ci/run's
#                                    step for both targets
comma := ,
space := $(subst ,, )
JOBS ?= $(shell nproc)
SANITIZE ?=
GENERATOR ?= Ninja
CTEST_ARGS ?=

ifeq ($(SANITIZE),)
BUILD_DIR ?= build
else
BUILD_DIR ?= build-$(subst $(comma),-,$(SANITIZE))
endif
BENCH_DIR ?= build-bench
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= items tag_report frames chains socket
SOAK_SECONDS ?= 600
MUTANTS ?= 40
SEED ?= 1
MUTANTS_DIR ?= build-mutants
MUTANTS_ARGS ?=
ARCH ?= aarch64
CROSS_DIR ?= build-$(ARCH)
# Optimised as the host build, without debug information: it halves the
# compile, and the code runs under an emulator anyway.
CROSS_FLAGS ?= -O2 -DNDEBUG
CROSS_TIME_SCALE ?= 3
# CI's step builds less and unoptimised: the compile is most of its time, the
# suites it runs wait on real time more than they compute, and a byte-order
# fault shows at any level (the optimised build is cross-test's).
CROSS_CI_DIR ?= build-$(ARCH)-ci
CROSS_CI_FLAGS ?= -O0 -DNDEBUG
CROSS_CI_SUITES ?= test_items test_buffers test_session test_e2e

.PHONY: all deps build demo test bench python-bench check-interface fuzz soak mutants clean \
  cross-deps cross cross-test cross-ci

all: build

# The Debian packages the build and the tests need, installed when missing
# (tools/deps.sh; nothing happens when they are all there).
deps:
	tools/deps.sh build tools python gateway wireshark

# A sanitizer build leaves the benchmarks out: no test runs them.
$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G $(GENERATOR) -DULMOT_SANITIZE=$(SANITIZE) \
	  -DULMOT_BUILD_BENCH=$(if $(SANITIZE),OFF,ON)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The tool and what it links, then a few seconds of inventory against the
# emulated reader started inside the tool.
DEMO_SECONDS ?= 5
demo: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ulmot_cli
	$(BUILD_DIR)/tools/ulmot/ulmot inventory --duration $(DEMO_SECONDS)

test: build
	ctest --test-dir $(BUILD_DIR) -j $(JOBS) --output-on-failure $(CTEST_ARGS)

$(BENCH_DIR)/build.ninja: | deps
	cmake -S . -B $(BENCH_DIR) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DULMOT_BUILD_TESTS=OFF -DULMOT_WERROR=OFF

bench: $(BENCH_DIR)/build.ninja
	cmake --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_DIR)/bench/ulmot_bench --benchmark_out=$(BENCH_DIR)/bench.json \
	  --benchmark_out_format=json $(BENCH_ARGS)

# Reads per second into a Python loop beside the hand-off's floor
# (bench/python_handoff.py), against the Release build.
python-bench: $(BENCH_DIR)/build.ninja
	cmake --build $(BENCH_DIR) -j $(JOBS) --target ulmot ulmot_transports_shared ulmot_emulator_shared \
	  ulmot_handoff ulmot_handoff_feeder
	/usr/bin/python3 bench/python_handoff.py $(BENCH_DIR) --json $(BENCH_DIR)/python.json

# The soak test of `make test` (20 s there), run for longer; its summary goes
# to stdout, the library's log lines to $(BUILD_DIR)/tests/soak.log.
soak: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target test_soak
	cd $(BUILD_DIR)/tests && ULMOT_SOAK_SECONDS=$(SOAK_SECONDS) ./test_soak

# A measurement, not a gate: it exits 0 whatever the kill rate (not part of .ci/run). Its
# own scratch copy and build, so the working tree and build/ are left alone.
mutants:
	nice python3 tools/mutants.py --mutants $(MUTANTS) --seed $(SEED) --dir $(MUTANTS_DIR) \
	  --jobs $(JOBS) $(MUTANTS_ARGS)

check-interface: build
	../shared/interface/check $(BUILD_DIR)

$(FUZZ_DIR)/build.ninja: | deps
	tools/deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G $(GENERATOR) -DULMOT_FUZZ=ON \
	  -DULMOT_BUILD_TESTS=OFF -DULMOT_BUILD_BENCH=OFF

fuzz: $(FUZZ_DIR)/build.ninja
	cmake --build $(FUZZ_DIR) --target fuzz_all -j $(JOBS)
	fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Cross builds: Debian's cross compilers, their libraries under
# /usr/<triple>, qemu-user as ctest's emulator (tools/deps.sh cross).
cross-deps:
	tools/deps.sh build cross

# $(call cross-configure,DIR,FLAGS)
define cross-configure
@test -f cmake/toolchain-$(ARCH).cmake || { echo "ARCH=$(ARCH): no cmake/toolchain-$(ARCH).cmake"; exit 2; }
cmake -S . -B $(1) -G $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(ARCH).cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$(2)" -DCMAKE_C_FLAGS_RELEASE="$(2)" \
  -DULMOT_BUILD_TOOLS=OFF -DULMOT_HOST_TESTS=OFF -DULMOT_BUILD_BENCH=OFF \
  -DULMOT_GTEST_SOURCE=/usr/src/googletest
endef

$(CROSS_DIR)/build.ninja: | cross-deps
	$(call cross-configure,$(CROSS_DIR),$(CROSS_FLAGS))

$(CROSS_CI_DIR)/build.ninja: | cross-deps
	$(call cross-configure,$(CROSS_CI_DIR),$(CROSS_CI_FLAGS))

cross: cross-deps $(CROSS_DIR)/build.ninja
	cmake --build $(CROSS_DIR) -j $(JOBS)

cross-test: cross
	ULMOT_TEST_TIME_SCALE=$(CROSS_TIME_SCALE) ctest --test-dir $(CROSS_DIR) -j $(JOBS) --output-on-failure $(CTEST_ARGS)

# Each suite's cases carry its executable's name as a label (tests/CMakeLists.txt).
cross-ci: cross-deps $(CROSS_CI_DIR)/build.ninja
	cmake --build $(CROSS_CI_DIR) -j $(JOBS) --target $(CROSS_CI_SUITES)
	ULMOT_TEST_TIME_SCALE=$(CROSS_TIME_SCALE) ctest --test-dir $(CROSS_CI_DIR) -j $(JOBS) --output-on-failure \
	  -L '^($(subst $(space),|,$(strip $(CROSS_CI_SUITES))))$$' $(CTEST_ARGS)

clean:
	rm -rf build build-* $(BENCH_DIR)
