# The two commands of the README, and the extra builds that CI runs.
#   make test      install what is needed, build, run every test
#   make demo      the agent's main job: enrol with the reference service and report presence
#   make run       run the agent without a desktop in the user's own session
#   make sanitize  ASan + UBSan build (g++) of the unit tests, and run them
#   make fuzz      libFuzzer build (clang) of the decoders, and a short run
#   make bench     build and run the benchmarks

BUILD      ?= build
JOBS       ?= $(shell nproc)
GENERATOR  := -G Ninja
FUZZ_TIME  ?= 60

.PHONY: all bootstrap build test demo run sanitize fuzz bench format clean

all: build

bootstrap:
	scripts/bootstrap

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) --target nerova-agent nerova-presence-service -j $(JOBS)
	scripts/demo $(BUILD)

run: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) --target nerova-agent -j $(JOBS)
	$(BUILD)/src/nerova-agent run

sanitize: bootstrap
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DNEROVA_SANITIZE=ON -DNEROVA_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -L unit -j $(JOBS)

fuzz: bootstrap
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DNEROVA_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_TIME)

bench: build
	scripts/run-benchmarks $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-fuzz
