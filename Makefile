# Two entry points for a fresh Debian 12 machine:
#   make run    installs what kalpex needs, builds it and runs it on the
#               default node (NODE=/path to check another)
#   make test   installs what the tests need, builds and runs the whole suite
# Both may be run again at any time. Also: make install [PREFIX=...],
# make deb, make bench.

BUILD   ?= build
NODE    ?=
# Warnings are errors under CI, where the compiler is the one we know.
WERROR  ?= $(if $(CI),ON,OFF)
SUDO    := $(if $(filter 0,$(shell id -u)),,sudo)

RUN_PACKAGES  := cmake g++ make pkgconf libgbm-dev libegl-dev libgles-dev libgl1-mesa-dri libegl-mesa0
TEST_PACKAGES := $(RUN_PACKAGES) python3 python3-yaml util-linux mount valgrind cppcheck clang-tidy mandoc dpkg-dev

# Installs only the packages that are missing, so a second run asks nothing.
define install_packages
	@missing=$$(for p in $(1); do \
	  dpkg-query -W -f='$${db:Status-Status}\n' $$p 2>/dev/null | grep -qx installed || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

VM_PACKAGES    := qemu-system-x86 qemu-system-gui busybox-static cpio kmod
BENCH_PACKAGES := $(TEST_PACKAGES) hyperfine mesa-utils time

.PHONY: all build run test test-suite test-sanitize test-vm deps test-deps prometheus-tools install deb bench
all: build

deps:
	$(call install_packages,$(RUN_PACKAGES))

test-deps:
	$(call install_packages,$(TEST_PACKAGES))

build:
	cmake -S . -B $(BUILD) -DKALPEX_WERROR=$(WERROR)
	cmake --build $(BUILD) --parallel

run: deps build
	./$(BUILD)/kalpex $(NODE)

test: test-suite test-sanitize test-vm

test-suite: test-deps build prometheus-tools
	cd $(BUILD) && ctest --output-on-failure

# promtool and node_exporter for the monitor tests, unpacked from Debian's
# packages into the build folder rather than installed, so that no Prometheus
# service starts on this machine.
prometheus-tools: build
	@for p in prometheus prometheus-node-exporter; do \
	  [ -d $(BUILD)/prometheus/$$p ] && continue; \
	  rm -rf $(BUILD)/prometheus/download && mkdir -p $(BUILD)/prometheus/download && \
	  (cd $(BUILD)/prometheus/download && apt-get download $$p) && \
	  dpkg-deb -x $(BUILD)/prometheus/download/$${p}_*.deb $(BUILD)/prometheus/$$p || exit 1; \
	done; rm -rf $(BUILD)/prometheus/download

# The same suite again on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-sanitize: test-deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DKALPEX_SANITIZE=ON -DKALPEX_WERROR=$(WERROR)
	cmake --build $(BUILD)-sanitize --parallel
	cd $(BUILD)-sanitize && ctest --output-on-failure

# Real kernel DRM drivers in a VM under software emulation; STAGES=vgem
# (or none, virtio, bochs, virgl) runs only those.
test-vm: test-deps build
	$(call install_packages,$(VM_PACKAGES))
	tests/vm/run.sh $(BUILD) $(STAGES)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package in $(BUILD)/, its Depends computed from the binary.
deb: test-deps build
	cd $(BUILD) && cpack -G DEB

# kalpex against `eglinfo -B` on the same Mesa, and its own cost.
bench: test-deps build
	$(call install_packages,$(BENCH_PACKAGES))
	tools/bench.sh $(BUILD)
