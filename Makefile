# Two commands do everything on a fresh machine:
#   make run    build the host module and run it once in the simulated device
#   make test   install what is missing, build host, device and asan, run every suite
# The CMake builds live in build/host, build/device and build/asan (the host
# build with AddressSanitizer and UBSan); `make fuzz` adds build/fuzz and
# `make dist` build/release, build/release-host and build/dist. The
# sandboxes of make run and make run-device are in build/run, which make
# clean keeps.

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
VM         := $(BUILD)/vm

.PHONY: all setup uclibc image vm setup-run setup-run-device setup-run-vm setup-install host device asan fuzz-build run run-device run-vm test test-host test-device test-asan fuzz bench size install dist clean distclean

all: host

setup:
	@scripts/setup

# What one target needs: setup-run, setup-run-device, setup-run-vm,
# setup-install (make install and make dist).
setup-run setup-run-device setup-run-vm setup-install:
	@scripts/setup $(@:setup-%=%)

# make run, make run-device and make install configure a new build folder
# without the test tree; the targets that build everything switch it on once
# (with-tests).
TESTS := ON
run run-device install: TESTS := OFF
with-tests = grep -qs '^STEADYFLOW_TESTS:BOOL=ON$$' $(1)/CMakeCache.txt || cmake -S . -B $(1) -DSTEADYFLOW_TESTS=ON

# The device's C library and loader (uClibc-ng) in $(UCLIBC)/sysroot, for
# code built with cmake/mipsel-uclibc.cmake; the script builds it once per
# tarball and recipe (its stamp), quietly, so the first build is announced here.
uclibc:
	@[ -f $(UCLIBC)/stamp ] || echo "uclibc: building the device's C library into $(UCLIBC)/sysroot, once:" \
	  "a few minutes (2 to 5 on two cores, as the load goes); its output goes to $(UCLIBC)/build.log"
	@scripts/uclibc-sysroot $(UCLIBC_TARBALL) $(UCLIBC)

# The device image in $(IMAGE)/root: that C library and loader, with the
# firmware, its data and its module loader built against them (sim/image).
# The device build runs its module there (make run-device, the uclibc tests).
image: uclibc $(IMAGE)/build.ninja
	@echo "image: building the device image in $(IMAGE)/root (firmware, data libraries, module loader; under a minute from cold)"
	cmake --build $(IMAGE) -j $(JOBS)

# The VM in $(VM): a MIPS Linux kernel for qemu-system-mipsel's Malta board
# and an initramfs holding the device image, busybox and the VM's init
# (scripts/vm-build; devsim run --vm boots it).
vm: image
	@scripts/vm-build $(VM) $(IMAGE)

$(IMAGE)/build.ninja:
	cmake -S . -B $(IMAGE) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-uclibc.cmake \
	  -DUCLIBC_SYSROOT="$(abspath $(UCLIBC))/sysroot"

$(HOST)/build.ninja:
	cmake -S . -B $(HOST) $(CMAKE_GEN) -DSTEADYFLOW_TESTS=$(TESTS)

$(DEVICE)/build.ninja:
	cmake -S . -B $(DEVICE) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DSTEADYFLOW_TESTS=$(TESTS) \
	  -DDEVICE_IMAGE="$(DEVICE_IMAGE)" -DHOST_BUILD="$(abspath $(HOST))" -DVM_DIR="$(abspath $(VM))"

$(ASAN)/build.ninja:
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DSTEADYFLOW_SANITIZE=ON

$(FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DSTEADYFLOW_FUZZ=ON

host: setup $(HOST)/build.ninja
	@$(call with-tests,$(HOST))
	cmake --build $(HOST) -j $(JOBS)

device: setup image $(DEVICE)/build.ninja
	@$(call with-tests,$(DEVICE))
	@grep -qs '^VM_DIR:' $(DEVICE)/CMakeCache.txt || cmake -S . -B $(DEVICE) -DDEVICE_IMAGE="$(DEVICE_IMAGE)" \
	  -DHOST_BUILD="$(abspath $(HOST))" -DVM_DIR="$(abspath $(VM))"
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

# The device module, run once in the VM on a sandbox disk that persists
# between runs: the device's loader on a MIPS Linux kernel, whose own
# min_free_kbytes the report shows (host devsim, device module).
run-vm: setup-run-vm vm $(HOST)/build.ninja $(DEVICE)/build.ninja
	cmake --build $(HOST) -j $(JOBS) --target devsim
	cmake --build $(DEVICE) -j $(JOBS) --target SteadyflowTest
	$(HOST)/devsim run $(DEVICE)/SteadyflowTest.tap --vm $(VM) --sandbox $(RUN_DIR)/vm

# One ctest run over the three builds, so its summary counts host, device
# (with the device image's uclibc.* and the VM's vm.* tests) and asan (the
# host suite under AddressSanitizer and UBSan).
test: setup host vm device asan
	printf 'subdirs("host" "device" "asan")\n' > $(BUILD)/CTestTestfile.cmake
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-host: host
	ctest --test-dir $(HOST) -j $(JOBS) --output-on-failure

# The device build's suite holds the vm.* tests and the kit's, which boot the VM.
test-device: vm device
	ctest --test-dir $(DEVICE) -j $(JOBS) --output-on-failure

test-asan: asan
	ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure

# Benchmarks of the INI store on the optimised host build, and of a VM run
# of the device module, boot to report (never part of make test);
# BENCH_ARGS passes Google Benchmark options to the first, e.g.
# BENCH_ARGS=--benchmark_filter=GetInt.
bench: setup vm $(DEVICE)/build.ninja
	cmake -S . -B $(HOST) $(CMAKE_GEN) -DSTEADYFLOW_TESTS=ON
	cmake --build $(HOST) -j $(JOBS) --target steadyflow_bench steadyflow_vm_bench devsim
	cmake --build $(DEVICE) -j $(JOBS) --target SteadyflowTest
	$(HOST)/bench/steadyflow_bench $(BENCH_ARGS)
	$(HOST)/bench/steadyflow_vm_bench $(HOST)/devsim $(DEVICE)/SteadyflowTest.tap $(VM)

# The device module's footprint and one start-up run's costs.
size: host device
	scripts/size-report $(HOST) $(DEVICE)

# Runs each fuzz program for FUZZ_SECONDS (default 60) and prints its
# executions and findings; fails when one found something.
fuzz: fuzz-build
	scripts/fuzz $(FUZZ) $(FUZZ_SECONDS)

# The stripped device module and its SHA-256, from a clean device build of
# the module alone, for device owners; and the kit, as one tarball with its
# SHA-256, for those who write modules. Both are dated by DIST_EPOCH and made
# in build folders of their own (the kit's host part in $(RELEASE_HOST), its
# device part in $(RELEASE)), so the same commit gives the same four files
# from any checkout path.
RELEASE_HOST := $(BUILD)/release-host
KIT_TARBALL = steadyflow-$(VERSION).tar.gz
dist: setup-install image
	rm -rf $(RELEASE) $(RELEASE_HOST) $(DIST) $(BUILD)/kit-dist
	@echo "dist: the device module alone, in $(RELEASE) (under a minute)"
	SOURCE_DATE_EPOCH=$(DIST_EPOCH) cmake -S . -B $(RELEASE) $(CMAKE_GEN) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DSTEADYFLOW_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS) --target SteadyflowTest_stripped
	mkdir -p $(DIST)
	cp $(RELEASE)/stripped/SteadyflowTest.tap $(DIST)/
	cd $(DIST) && sha256sum SteadyflowTest.tap > SteadyflowTest.tap.sha256
	SOURCE_DATE_EPOCH=$(DIST_EPOCH) cmake -S . -B $(RELEASE_HOST) $(CMAKE_GEN) -DSTEADYFLOW_TESTS=OFF
	SOURCE_DATE_EPOCH=$(DIST_EPOCH) $(MAKE) --no-print-directory install HOST=$(RELEASE_HOST) DEVICE=$(RELEASE) \
	  PREFIX="$(abspath $(BUILD))/kit-dist/steadyflow-$(VERSION)"
	@echo "dist: packing the kit"
	tar -C $(BUILD)/kit-dist --sort=name --owner=0 --group=0 --numeric-owner --mode=u+rw,go-w,go+rX \
	  --mtime=@$(DIST_EPOCH) -cf - steadyflow-$(VERSION) | gzip -n -9 > $(DIST)/$(KIT_TARBALL)
	cd $(DIST) && sha256sum $(KIT_TARBALL) > $(KIT_TARBALL).sha256
	@echo "dist: in $(DIST):"
	@cd $(DIST) && ls -l SteadyflowTest.tap $(KIT_TARBALL) && cat SteadyflowTest.tap.sha256 $(KIT_TARBALL).sha256

# The kit for other modules (docs/kit.md, its guide): the kit's parts of the
# host build and the device build (their target `kit`, no test; the device
# build's with the VM) and the device image, installed stripped into one
# folder, PREFIX (default build/kit), which may be moved as a whole. A build
# folder that is new is configured without the test tree.
PREFIX     ?= $(BUILD)/kit
VERSION    := $(shell grep -o 'Steadyflow VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
install: setup-install image vm $(HOST)/build.ninja $(DEVICE)/build.ninja
	@echo "install: the kit's host part in $(HOST): devsim and what it loads, the helper library (a minute or two from cold)"
	cmake --build $(HOST) -j $(JOBS) --target kit
	@echo "install: the kit's device part in $(DEVICE): the helper library, firmware and link stubs for MIPS, the VM (under a minute from cold)"
	@grep -qs '^VM_DIR:' $(DEVICE)/CMakeCache.txt || cmake -S . -B $(DEVICE) -DVM_DIR="$(abspath $(VM))"
	cmake --build $(DEVICE) -j $(JOBS) --target kit
	cmake --install $(HOST) --prefix "$(PREFIX)" --strip
	cmake --install $(DEVICE) --prefix "$(PREFIX)" --strip
	cmake --install $(IMAGE) --prefix "$(PREFIX)"
	@echo "install: the kit is in $(PREFIX); its guide is $(PREFIX)/share/doc/steadyflow/kit.md"

# Removes the builds and keeps the sandboxes in build/run, whose settings
# files may hold edits; distclean removes all of build/.
clean:
	[ ! -d $(BUILD) ] || find $(BUILD) -mindepth 1 -maxdepth 1 ! -name run -exec rm -rf {} +

distclean:
	rm -rf $(BUILD)
