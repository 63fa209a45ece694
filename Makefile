# SPDX-License-Identifier: MIT
# Two entry points for a fresh Debian machine (12 or 13):
#   make run    installs what kalpex needs, builds it and runs it on the
#               default node, and the EGL device and Vulkan probes (NODE=/path
#               to check another)
#   make test   installs what the tests need, builds and runs the whole suite
# Both may be run again at any time. Also: make check (the quick loop: the
# build and the suites that need no root, daemons, VM or images),
# make install [PREFIX=...], make deb, make dist, make bench, make
# test-fresh (both commands in clean Debian trees).

BUILD   ?= build
# Also quiets the makes that CMake's build runs.
MAKEFLAGS += --no-print-directory
NODE    ?=
# Warnings are errors under CI, where the compiler is the one we know.
WERROR  ?= $(if $(CI),ON,OFF)
# The test suite (and its Python) is configured only for the targets that
# use it.
TESTS   ?= OFF
LOGS    := $(BUILD)/logs
SUDO    := $(if $(filter 0,$(shell id -u)),,sudo)
INSTALL := tools/install-packages.sh $(LOGS)/install.log

RUN_PACKAGES  := cmake g++ make pkgconf libgbm-dev libegl-dev libgles-dev libgl1-mesa-dri libegl-mesa0 \
                 libvulkan-dev mesa-vulkan-drivers
# The daemons of the SLURM and Nagios suites, which run them on this machine.
FLEET_PACKAGES := munge slurmctld slurmd slurm-client nagios4-core nagios-nrpe-server nagios-nrpe-plugin icinga2-bin
TEST_PACKAGES := $(RUN_PACKAGES) python3 python3-yaml util-linux mount systemd valgrind cppcheck clang-tidy \
                 mandoc man-db file dpkg-dev lintian devscripts $(FLEET_PACKAGES)
VM_PACKAGES    := qemu-system-x86 qemu-system-gui busybox-static cpio kmod dmsetup udev podman mmdebstrap xz-utils
BENCH_PACKAGES := $(TEST_PACKAGES) hyperfine mesa-utils vulkan-tools time
# What the quick loop needs: the program's, Python for the suites, and the
# checkers they run.
CHECK_PACKAGES := $(RUN_PACKAGES) python3 python3-yaml systemd valgrind cppcheck clang-tidy mandoc man-db
FRESH_PACKAGES := mmdebstrap util-linux git
# What the Debian package's build needs beyond kalpex's own: dpkg-shlibdeps
# computes its Depends, from what file(1) says is a binary.
DEB_PACKAGES   := $(RUN_PACKAGES) dpkg-dev file
# The images are built with buildah (which Debian 13's will not run without
# netavark), on bases mmdebstrap makes where no registry answers.
IMAGE_PACKAGES := buildah mmdebstrap netavark

# Cross-building: ARCH=arm64, the architecture with a toolchain file
# (cmake/aarch64-linux-gnu.cmake); the tests run it under qemu-user.
ARCH        ?= arm64
TRIPLET     := $(if $(filter arm64,$(ARCH)),aarch64-linux-gnu)
CROSS_BUILD := $(BUILD)-$(ARCH)
CROSS_PACKAGES      := crossbuild-essential-$(ARCH) cmake make pkgconf qemu-user dpkg-dev file \
                       $(addsuffix :$(ARCH),libgbm-dev libegl-dev libgles-dev libgl1-mesa-dri libegl-mesa0 libvulkan-dev \
                         mesa-vulkan-drivers)
CROSS_TEST_PACKAGES := $(CROSS_PACKAGES) python3 python3-yaml util-linux mount systemd mandoc man-db lintian devscripts \
                       $(FLEET_PACKAGES)

# The version, as CMakeLists.txt sets it (the one place it is set).
VERSION := $(shell sed -n 's/^project.kalpex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The release's tag; TAG=HEAD makes a tarball of the last commit instead.
TAG     ?= v$(VERSION)

.PHONY: all build run check check-deps test dist test-suite test-sanitize test-vm test-fresh deps test-deps prometheus-tools \
        install deb deb-deps image bench cross cross-arch cross-deps cross-test-deps test-cross
all: build

deps:
	@$(INSTALL) $(RUN_PACKAGES)

test-deps:
	@$(INSTALL) $(TEST_PACKAGES)

# configure_and_build,FOLDER,CMAKE OPTIONS
define configure_and_build
@cmake -S . -B $(1) --log-level=WARNING -DKALPEX_WERROR=$(WERROR) -DCMAKE_INSTALL_PREFIX=/usr $(2)
@cmake --build $(1) --parallel
endef

# run_suites,FOLDER: CTest in a build folder, with its record of skips anew.
define run_suites
@rm -f $(1)/skipped.txt
cd $(1) && ctest --output-on-failure
endef

build:
	$(call configure_and_build,$(BUILD),-DKALPEX_TESTS=$(TESTS))

# On a machine with no GPU node the default nodes are not there: say how to
# see the software pass, and keep kalpex's status.
# Each path a workload renders through: GBM (kalpex), EGL's devices and
# Vulkan; the worst status is make's.
run: deps build
	@status=0; for probe in kalpex kalpex-egl-device kalpex-vulkan; do \
	  echo "make run: $$probe $(NODE)"; ./$(BUILD)/$$probe $(NODE) || status=$$?; done; \
	[ $$status -eq 0 ] || [ -n "$(NODE)" ] || [ -e /dev/dri ] || \
	  echo "make run: this machine has no /dev/dri, which GBM needs; make run NODE=/dev/null shows Mesa's software pass on each path"; \
	exit $$status

check test-suite test-vm bench test-cross: TESTS = ON

# report_skips,FILES,WHAT: the last word of a test run: what did not run,
# from the skip files, or that everything ran.
define report_skips
@if cat $(1) 2>/dev/null | grep -q .; then echo "$(2) passed, but these did not run:"; cat $(1) 2>/dev/null || true; \
else echo "$(2) passed: every suite and tier ran"; fi
endef

# The quick loop, in under a minute: what make test runs beyond it is said.
check-deps:
	@$(INSTALL) $(CHECK_PACKAGES)

check: check-deps build prometheus-tools
	@rm -f $(BUILD)/skipped.txt
	cd $(BUILD) && ctest --output-on-failure -L quick --parallel 2
	@if grep -q . $(BUILD)/skipped.txt 2>/dev/null; then echo "make check passed, but these did not run:"; \
	  cat $(BUILD)/skipped.txt; else echo "make check passed: every quick suite ran"; fi
	@echo "make check leaves to make test: default_nodes, package, slurm, nagios and image, the sanitizer tier, and the VM tier"

test: test-suite test-sanitize test-vm
	$(call report_skips,$(BUILD)/skipped.txt $(BUILD)-sanitize/skipped.txt,make test)

test-suite: test-deps build prometheus-tools image
	$(call run_suites,$(BUILD))

# Prometheus, promtool and node_exporter for the monitor tests, unpacked from
# Debian's packages into the build folder rather than installed, so that no
# Prometheus service starts on this machine.
# PROMETHEUS is the folder, in the build folder of the tests that use it.
PROMETHEUS ?= $(BUILD)/prometheus
# Debian 13 has promtool in a package of its own, Debian 12 in prometheus.
prometheus-tools:
	@promtool=$$(apt-cache show promtool >/dev/null 2>&1 && echo promtool); \
	for p in prometheus $$promtool prometheus-node-exporter; do \
	  [ -d $(PROMETHEUS)/$$p ] && continue; \
	  echo "unpacking $$p for the monitor tests"; \
	  rm -rf $(PROMETHEUS)/download && mkdir -p $(PROMETHEUS)/download $(LOGS) && \
	  (cd $(PROMETHEUS)/download && apt-get download $$p) >$(LOGS)/prometheus.log 2>&1 && \
	  dpkg-deb -x $(PROMETHEUS)/download/$${p}_*.deb $(PROMETHEUS)/$$p || \
	  { cat $(LOGS)/prometheus.log; exit 1; }; \
	done; rm -rf $(PROMETHEUS)/download

# The same suite again on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-sanitize: test-deps
	$(call configure_and_build,$(BUILD)-sanitize,-DCMAKE_BUILD_TYPE=Debug -DKALPEX_SANITIZE=ON -DKALPEX_TESTS=ON)
	$(call run_suites,$(BUILD)-sanitize)

# Real kernel DRM drivers in a VM under software emulation; STAGES=vgem
# (or none, virtio, bochs, systemd, slots, wedge, virgl, container) runs only those.
test-vm: test-deps build image
	@$(INSTALL) $(VM_PACKAGES)
	tests/vm/run.sh $(BUILD) $(STAGES)

# The README's two commands in minimal Debian 12 and 13 trees, as root and
# as an ordinary user with sudo; RELEASES=trixie runs one.
test-fresh:
	@$(INSTALL) $(FRESH_PACKAGES)
	tests/fresh/run.sh $(BUILD)/fresh $(RELEASES)

# Adds ARCH to dpkg's architectures where it is missing: its libraries are
# what kalpex links against.
cross-arch:
	@[ -n "$(TRIPLET)" ] || { echo "no toolchain file for ARCH=$(ARCH); arm64 has one"; exit 1; }
	@dpkg --print-foreign-architectures | grep -qx $(ARCH) || \
	  { echo "adding $(ARCH) to dpkg's architectures"; $(SUDO) dpkg --add-architecture $(ARCH); }

cross-deps: cross-arch
	@$(INSTALL) $(CROSS_PACKAGES)

cross-test-deps: cross-arch
	@$(INSTALL) $(CROSS_TEST_PACKAGES)

# kalpex and its Debian package for ARCH, in $(CROSS_BUILD)/.
cross: cross-deps
	$(call configure_and_build,$(CROSS_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/$(TRIPLET).cmake -DKALPEX_TESTS=$(TESTS))
	cd $(CROSS_BUILD) && cpack -G DEB

# The suites on the ARCH build, through the emulator. The sanitizer tier is
# not among them: AddressSanitizer with llvmpipe hangs under qemu-user.
test-cross: PROMETHEUS = $(CROSS_BUILD)/prometheus
test-cross: cross-test-deps cross prometheus-tools
	$(call run_suites,$(CROSS_BUILD))
	@echo "sanitizer tier: SKIPPED, AddressSanitizer with llvmpipe hangs under qemu-user" >>$(CROSS_BUILD)/skipped.txt
	$(call report_skips,$(CROSS_BUILD)/skipped.txt,make test-cross)

# A build of its own for the prefix, whose paths the adapter and the units
# name; DESTDIR stages it. Root installing for real also gets the checks'
# user, and is told the reloads that make systemd and udev see the files.
PREFIX ?= /usr/local
install:
	$(call configure_and_build,$(BUILD)-install,-DCMAKE_INSTALL_PREFIX=$(PREFIX) -DKALPEX_TESTS=OFF)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)-install
	@if [ -n "$(DESTDIR)" ]; then :; \
	elif [ "$$(id -u)" = 0 ] && command -v systemd-sysusers >/dev/null; then \
	  systemd-sysusers $(PREFIX)/lib/sysusers.d/kalpex.conf && echo "made the checks' user, kalpex (systemd-sysusers)"; \
	else echo "as root, make the checks' user: systemd-sysusers $(PREFIX)/lib/sysusers.d/kalpex.conf"; fi
	@[ -n "$(DESTDIR)" ] || echo "then let systemd and udev see the new files: systemctl daemon-reload && udevadm control --reload"

deb-deps:
	@$(INSTALL) $(DEB_PACKAGES)

# A Debian package in $(BUILD)/, its Depends computed from the binary.
deb: deb-deps build
	cd $(BUILD) && cpack -G DEB

# The kalpex image and the detector's, as OCI archives in $(BUILD)/images/;
# RELEASE=trixie builds the kalpex image on Debian 13, and IMAGE_SOURCE=URL
# names the source in their labels.
image:
	@$(INSTALL) $(IMAGE_PACKAGES)
	IMAGE_SOURCE="$(IMAGE_SOURCE)" tools/build-images.sh $(BUILD) $(VERSION) $(RELEASE)

# The source tarball of the tagged tree, $(BUILD)/kalpex-VERSION.tar.gz; the
# package built from it is the same as one built from the checkout.
dist:
	@git rev-parse -q --verify "$(TAG)^{commit}" >/dev/null || \
	  { echo "no tag $(TAG): cut the release first (git tag -a $(TAG)), or make dist TAG=HEAD"; exit 1; }
	@mkdir -p $(BUILD)
	git archive --format=tar.gz --prefix=kalpex-$(VERSION)/ -o $(BUILD)/kalpex-$(VERSION).tar.gz "$(TAG)"

# kalpex against `eglinfo -B` on the same Mesa, and its own cost.
bench: test-deps build
	@$(INSTALL) $(BENCH_PACKAGES)
	tools/bench.sh $(BUILD)
