# The two commands of the README, and the extra builds that CI runs.
#   make test      install what is needed, build, run every test
#   make demo      the agent's main job: enrol with the reference service and report presence
#   make run       run the agent without a desktop in the user's own session
#   make sanitize  ASan + UBSan build (g++) of the unit tests, and run them
#   make fuzz      libFuzzer build (clang) of the decoders, and a short run
#   make bench     build and run the benchmarks
#   make platform-none  build the program with the platform "none" and run it: nothing outside src/platform needs Linux
#   make package   build the Debian packages (nerova-agent, nerova-presence-service) in $(PACKAGE_BUILD)
#   make check-package  lint, install, run and purge them

BUILD      ?= build
JOBS       ?= $(shell nproc)
GENERATOR  := -G Ninja
FUZZ_TIME  ?= 60
PACKAGE_BUILD ?= build-package
# The build number of a package: the commit count unless given (make package BUILD_NUMBER=1234).
BUILD_NUMBER  ?= $(shell git rev-list --count HEAD 2>/dev/null)
# Hardening flags of the packaged programs, as Debian builds its own (linked with full RELRO below).
PACKAGE_CXXFLAGS ?= -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection

.PHONY: all bootstrap build test demo run sanitize fuzz bench platform-none package check-package format clean

all: build

bootstrap:
	scripts/bootstrap

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

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
		ctest --output-on-failure --no-tests=error -L unit -j $(JOBS)

fuzz: bootstrap
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DNEROVA_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_TIME)

bench: build
	scripts/run-benchmarks $(BUILD)

platform-none: bootstrap
	cmake -S . -B build-none $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEROVA_PLATFORM=none -DNEROVA_TESTS=OFF -DNEROVA_BENCH=OFF
	cmake --build build-none -j $(JOBS)
	build-none/src/nerova-agent --version
	build-none/src/nerova-agent snapshot --no-public-ip

# The packages get a build directory of their own, without tests and benchmarks, with hardening flags.
package: bootstrap
	cmake -S . -B $(PACKAGE_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEROVA_TESTS=OFF -DNEROVA_BENCH=OFF \
		-DNEROVA_BUILD_NUMBER=$(BUILD_NUMBER) \
		-DCMAKE_CXX_FLAGS="$(PACKAGE_CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now"
	cmake --build $(PACKAGE_BUILD) --target package -j $(JOBS)

# Lint, install, run, and purge the packages (a real install needs root; else a staging root).
check-package: package
	scripts/check-package $(PACKAGE_BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-none $(PACKAGE_BUILD)
