# Two commands do everything on a fresh machine:
#   make run    build the host module and run it once in the simulated device
#   make test   install what is missing, build host, device and asan, run every suite
# The CMake builds live in build/host, build/device and build/asan (the host
# build with AddressSanitizer and UBSan); `make fuzz` adds build/fuzz and
# `make dist` build/release and build/dist. The sandboxes of make run and
# make run-device are in build/run, which make clean keeps.

BUILD      := build
HOST       := $(BUILD)/host
DEVICE     := $(BUILD)/device
ASAN       := $(BUILD)/asan
FUZZ       := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
CMAKE_GEN  := -G Ninja
JOBS       ?= 2
RUN_DIR    ?= $(BUILD)/run
DIST       := $(BUILD)/dist
RELEASE    := $(BUILD)/release
# make dist dates the module by the last commit unless SOURCE_DATE_EPOCH is set.
DIST_EPOCH  = $(or $(SOURCE_DATE_EPOCH),$(shell git log -1 --format=%ct 2>/dev/null))

UCLIBC     := $(BUILD)/uclibc
UCLIBC_TARBALL ?= /usr/src/uClibc-ng-1.0.35.tar.xz
IMAGE      := $(BUILD)/image
DEVICE_IMAGE := $(abspath $(IMAGE))/root

.PHONY: all setup uclibc image setup-run setup-run-device setup-dist host device asan fuzz-build run run-device test test-host test-device test-asan fuzz bench size install dist clean distclean

all: host

setup:
	@scripts/setup

# What one target needs: setup-run, setup-run-device, setup-dist.
setup-run setup-run-device setup-dist:
	@scripts/setup $(@:setup-%=%)

# make run and make run-device configure a new build folder without the test
# tree; the targets that build everything switch it on once (with-tests).
TESTS := ON
run run-device: TESTS := OFF
with-tests = grep -qs '^STEADYFLOW_TESTS:BOOL=ON$$' $(1)/CMakeCache.txt || cmake -S . -B $(1) -DSTEADYFLOW_TESTS=ON

# The device's C library and loader (uClibc-ng) in $(UCLIBC)/sysroot, for
# code built with cmake/mipsel-uclibc.cmake; the script builds it once per
# tarball and recipe.
uclibc:
	@scripts/uclibc-sysroot $(UCLIBC_TARBALL) $(UCLIBC)

# The device image in $(IMAGE)/root: that C library and loader, with the
# firmware, its data and its module loader built against them (sim/image).
# The device build runs its module there (make run-device, the uclibc tests).
image: uclibc $(IMAGE)/build.ninja
	cmake --build $(IMAGE) -j $(JOBS)

$(IMAGE)/build.ninja:
	cmake -S . -B $(IMAGE) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-uclibc.cmake \
	  -DUCLIBC_SYSROOT="$(abspath $(UCLIBC))/sysroot"

$(HOST)/build.ninja:
	cmake -S . -B $(HOST) $(CMAKE_GEN) -DSTEADYFLOW_TESTS=$(TESTS)

$(DEVICE)/build.ninja:
	cmake -S . -B $(DEVICE) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DSTEADYFLOW_TESTS=$(TESTS) \
	  -DDEVICE_IMAGE="$(DEVICE_IMAGE)" -DHOST_BUILD="$(abspath $(HOST))"

$(ASAN)/build.ninja:
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DSTEADYFLOW_SANITIZE=ON

$(FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DSTEADYFLOW_FUZZ=ON

host: setup $(HOST)/build.ninja
	@$(call with-tests,$(HOST))
	cmake --build $(HOST) -j $(JOBS)

device: setup image $(DEVICE)/build.ninja
	@$(call with-tests,$(DEVICE))
	@grep -qs '^HOST_BUILD:' $(DEVICE)/CMakeCache.txt || cmake -S . -B $(DEVICE) -DDEVICE_IMAGE="$(DEVICE_IMAGE)" \
	  -DHOST_BUILD="$(abspath $(HOST))"
	cmake --build $(DEVICE) -j $(JOBS)

# The host build with AddressSanitizer and UBSan.
asan: setup $(ASAN)/build.ninja
	cmake --build $(ASAN) -j $(JOBS)

# The fuzz programs (clang, libFuzzer, AddressSanitizer and UBSan).
fuzz-build: setup $(FUZZ)/build.ninja
	cmake --build $(FUZZ) -j $(JOBS)

# Runs the module once on a sandbox disk that persists between runs. Builds
# only devsim and what it loads (the module, the firmware library and its
# data libraries); the tools come first, installed when run as root.
run: setup-run $(HOST)/build.ninja
	cmake --build $(HOST) -j $(JOBS) --target devsim
	$(HOST)/devsim run $(HOST)/SteadyflowTest.tap --sandbox $(RUN_DIR)/host

# The same with the device module, run in the device image: the device's C
# library and loader load it, devsim (the device build's) reports.
run-device: setup-run-device image $(DEVICE)/build.ninja
	cmake --build $(DEVICE) -j $(JOBS) --target devsim
	$(DEVICE)/emulator $(DEVICE)/devsim run $(DEVICE)/SteadyflowTest.tap \
	  --image "$(DEVICE_IMAGE)" --sandbox $(RUN_DIR)/device

# One ctest run over the three builds, so its summary counts host, device
# and asan (the host suite under AddressSanitizer and UBSan).
test: setup host device asan
	printf 'subdirs("host" "device" "asan")\n' > $(BUILD)/CTestTestfile.cmake
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-host: host
	ctest --test-dir $(HOST) -j $(JOBS) --output-on-failure

test-device: device
	ctest --test-dir $(DEVICE) -j $(JOBS) --output-on-failure

test-asan: asan
	ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure

# Benchmarks of the INI store on the optimised host build (never part of
# make test); BENCH_ARGS passes Google Benchmark options, e.g.
# BENCH_ARGS=--benchmark_filter=GetInt.
bench: setup
	cmake -S . -B $(HOST) $(CMAKE_GEN) -DSTEADYFLOW_TESTS=ON
	cmake --build $(HOST) -j $(JOBS) --target steadyflow_bench
	$(HOST)/bench/steadyflow_bench $(BENCH_ARGS)

# The device module's footprint and one start-up run's costs.
size: host device
	scripts/size-report $(HOST) $(DEVICE)

# Runs each fuzz program for FUZZ_SECONDS (default 60) and prints its
# executions and findings; fails when one found something.
fuzz: fuzz-build
	scripts/fuzz $(FUZZ) $(FUZZ_SECONDS)

# The stripped device module and its SHA-256, from a clean device build of
# the module alone, for device owners; and the kit, as one tarball with its
# SHA-256, for those who write modules.
dist: setup-dist
	rm -rf $(RELEASE) $(DIST)
	SOURCE_DATE_EPOCH=$(DIST_EPOCH) cmake -S . -B $(RELEASE) $(CMAKE_GEN) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DSTEADYFLOW_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS) --target SteadyflowTest_stripped
	mkdir -p $(DIST)
	cp $(RELEASE)/stripped/SteadyflowTest.tap $(DIST)/
	cd $(DIST) && sha256sum SteadyflowTest.tap > SteadyflowTest.tap.sha256
	@cat $(DIST)/SteadyflowTest.tap.sha256
	rm -rf $(BUILD)/kit-dist
	$(MAKE) install PREFIX="$(abspath $(BUILD))/kit-dist/steadyflow-$(VERSION)"
	tar -C $(BUILD)/kit-dist --sort=name --owner=0 --group=0 --numeric-owner --mtime=@$(DIST_EPOCH) \
	  -czf $(DIST)/steadyflow-$(VERSION).tar.gz steadyflow-$(VERSION)
	cd $(DIST) && sha256sum steadyflow-$(VERSION).tar.gz > steadyflow-$(VERSION).tar.gz.sha256
	@cat $(DIST)/steadyflow-$(VERSION).tar.gz.sha256

# The kit for other modules (README, Writing another module): the host and
# device builds and the device image installed into one folder, PREFIX
# (default build/kit), which may be moved as a whole.
PREFIX     ?= $(BUILD)/kit
VERSION    := $(shell grep -o 'Steadyflow VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
install: host device
	cmake --install $(HOST) --prefix "$(PREFIX)"
	cmake --install $(DEVICE) --prefix "$(PREFIX)"
	cmake --install $(IMAGE) --prefix "$(PREFIX)"

# Removes the builds and keeps the sandboxes in build/run, whose settings
# files may hold edits; distclean removes all of build/.
clean:
	[ ! -d $(BUILD) ] || find $(BUILD) -mindepth 1 -maxdepth 1 ! -name run -exec rm -rf {} +

distclean:
	rm -rf $(BUILD)
