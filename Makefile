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
comma := ,
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

.PHONY: all deps build demo test bench python-bench check-interface fuzz soak mutants clean

all: build

# The Debian packages the build and the tests need, installed when missing
# (tools/deps.sh; nothing happens when they are all there).
deps:
	tools/deps.sh build tools python gateway wireshark

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G $(GENERATOR) -DULMOT_SANITIZE=$(SANITIZE)

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

clean:
	rm -rf build build-* $(BENCH_DIR)
