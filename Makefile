# Thin wrapper over CMake: `make`, `make test`, `make demo`, and the hardening
# and release checks, each in its own build directory:
#   make test-sanitize   ASan+UBSan build (clang) in build-san, whole test suite
#   make fuzz            libFuzzer targets (clang) in build-fuzz, FUZZ_SECONDS each
#   make test-aarch64    cross build in build-aarch64, tests under qemu-aarch64
#   make test-aarch64-system  the arm64 package on an AArch64 kernel under
#                        qemu-system-aarch64, the instrument on a real UART driver
#   make test-service    the arm64 package in a Debian arm64 guest with systemd
#                        as PID 1: kestrode@.service with a UART and a USB
#                        adapter pulled and plugged back, and a reboot (root)
#   make test-powercut   the same guest's power cut three times under the
#                        logging service: the log checked after each boot (root)
#   make package         Debian packages (amd64, arm64 cross) built in build-deb, into dist/
#   make check-package   lintian on all of them, failing on any error or warning
#   make check-install   installs the amd64 packages over those of 1.2.0, one
#                        session as the service's account, purges them (root)
#   make check-man       renders both man pages, failing on any warning, and
#                        checks every message is in the README and kestrode(1)
#                        and every kestrode-sim option in kestrode-sim(1)
#   make bench           benchmarks (bench/README.md)
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
SAN_BUILD ?= build-san
SAN_CXX ?= clang++
FUZZ_BUILD ?= build-fuzz
CROSS_BUILD ?= build-aarch64
FUZZ_SECONDS ?= 60
DEB_BUILD ?= build-deb
DIST ?= dist
DEB_ARCHS ?= amd64 arm64
SYSTEM_BUILD ?= build-system
SYSTEM_SECONDS ?= 230
SERVICE_BUILD ?= build-service
SERVICE_SECONDS ?= 1080
POWERCUT_BUILD ?= build-powercut
POWERCUT_SECONDS ?= 600
# The guest's image, kept between runs (tests/service/image.sh).
SERVICE_CACHE ?= /var/cache/kestrode-test-service
# The release an upgrade starts from (1.2.0), its packages built from this
# commit into OLD_DIST (make old-package).
OLD_COMMIT ?= ab96593
OLD_BUILD ?= build-old
OLD_DIST ?= $(OLD_BUILD)/dist
OLD_ARCH ?= amd64
# The release before (1.3.0), whose tmpfiles age rule the upgrade ends:
# make test-service installs it between 1.2.0 and the new packages.
PREV_COMMIT ?= 2862ac1
PREV_BUILD ?= build-prev
PREV_DIST ?= $(PREV_BUILD)/dist
# The arm64 package the system test boots with; made by `make package` when
# there is none yet.
ARM64_DEB ?= $(firstword $(wildcard $(DIST)/kestrode_*_arm64.deb))

comma := ,
# $(call configure,dir,flags[,compiler,its flags,packages]): configures a
# build directory once. The compiler, when given, first builds a one-line
# program, so that a missing package is named rather than found out by
# CMake or the linker. A configure that fails leaves no cache behind: the
# next run configures again instead of building a half-made directory.
configure = @test -f $(1)/build.ninja || { \
	$(if $(3),$(call try-compiler,$(3),$(4),$(5)) &&) \
	cmake -S . -B $(1) -G Ninja $(2) || { rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles; exit 1; }; }
try-compiler = { echo 'int main() {}' | $(1) $(2) -x c++ - -o /dev/null >/dev/null 2>&1 || \
	{ echo "make $@: $(strip $(1) $(2)) cannot build a program: install $(3) (apt-get install $(3))" >&2; \
	  exit 1; }; }
# $(call need,program,package): a program a target runs, named when missing.
need = @command -v $(1) >/dev/null || { echo "make $@: $(1) is missing: install $(2) (apt-get install $(2))" >&2; exit 1; }

.PHONY: all configure test demo clean test-sanitize fuzz test-aarch64 \
	package check-package check-install check-man bench test-aarch64-system \
	test-service test-powercut old-package prev-package

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	$(call configure,$(BUILD),$(CMAKE_FLAGS))

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Only the two programs it runs, so the first reading comes without waiting
# for the test suite to build.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestrode kestrode-sim
	@tools/demo.sh $(BUILD)

# Benchmarks against picocom, tio and the wire's limit; Markdown tables on
# stdout (bench/README.md: method, settings MIB ROUNDS PARTS CONSOLE).
bench: all
	bench/run.sh $(BUILD)

# Reports of the programs the tests start land in files too, so a fault in a
# child that the test does not notice still fails the run. clang by default:
# with g++ the UBSan reports of a child go to its standard error only.
test-sanitize:
	$(call configure,$(SAN_BUILD),-DCMAKE_CXX_COMPILER=$(SAN_CXX) -DKESTRODE_SANITIZE=ON $(CMAKE_FLAGS),$(SAN_CXX),-fsanitize=address$(comma)undefined,clang libclang-rt-14-dev)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	rm -rf $(SAN_BUILD)/sanitizer-logs && mkdir -p $(SAN_BUILD)/sanitizer-logs
	ASAN_OPTIONS=halt_on_error=1:detect_stack_use_after_return=1:log_path=$(CURDIR)/$(SAN_BUILD)/sanitizer-logs/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(SAN_BUILD)/sanitizer-logs/ubsan \
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS); \
	rc=$$?; for f in $(SAN_BUILD)/sanitizer-logs/*; do \
	  [ -e "$$f" ] || continue; echo "== $$f"; cat "$$f"; rc=1; done; exit $$rc

fuzz:
	$(call configure,$(FUZZ_BUILD),-DCMAKE_CXX_COMPILER=clang++ \
	  -DKESTRODE_FUZZ=ON -DBUILD_TESTING=OFF $(CMAKE_FLAGS),clang++,-fsanitize=address$(comma)undefined,clang libclang-rt-14-dev)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	fuzz/run-all.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-aarch64:
	$(call need,qemu-aarch64,qemu-user)
	$(call configure,$(CROSS_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(CMAKE_FLAGS),aarch64-linux-gnu-g++,,g++-aarch64-linux-gnu)
	cmake --build $(CROSS_BUILD) -j $(JOBS)
	ctest --test-dir $(CROSS_BUILD) --output-on-failure -j $(JOBS)

# Whole-target time includes a `make package` when it has to run one.
test-aarch64-system: all
	@start=$$(date +%s.%N); deb='$(ARM64_DEB)'; \
	if [ -z "$$deb" ]; then $(MAKE) --no-print-directory package DEB_ARCHS=arm64 && \
	  deb=$$(ls $(DIST)/kestrode_*_arm64.deb 2>/dev/null | head -n 1); fi; \
	echo "== test-aarch64-system with $$deb"; \
	timeout -k 10 $(SYSTEM_SECONDS) tests/system/run.sh "$$deb" $(BUILD)/kestrode-sim $(SYSTEM_BUILD); \
	rc=$$?; echo "== test-aarch64-system: $$(awk -v a=$$start -v b=$$(date +%s.%N) 'BEGIN { printf "%.1f", b - a }') s in all, status $$rc"; \
	exit $$rc

test-service: all
	@start=$$(date +%s.%N); deb='$(ARM64_DEB)'; \
	if [ -z "$$deb" ]; then $(MAKE) --no-print-directory package DEB_ARCHS=arm64 && \
	  deb=$$(ls $(DIST)/kestrode_*_arm64.deb 2>/dev/null | head -n 1); fi; \
	$(MAKE) --no-print-directory old-package OLD_ARCH=arm64 || exit 1; \
	$(MAKE) --no-print-directory prev-package || exit 1; \
	echo "== test-service with $$deb over $$(ls $(PREV_DIST)/kestrode_*_arm64.deb) over $$(ls $(OLD_DIST)/kestrode_*_arm64.deb)"; \
	timeout -k 10 $(SERVICE_SECONDS) tests/service/run.sh "$$deb" $(BUILD)/kestrode-sim \
	  $(SERVICE_BUILD) $(SERVICE_CACHE) "$$(ls $(OLD_DIST)/kestrode_*_arm64.deb | head -n 1)" \
	  "$$(ls $(PREV_DIST)/kestrode_*_arm64.deb | head -n 1)"; \
	rc=$$?; echo "== test-service: $$(awk -v a=$$start -v b=$$(date +%s.%N) 'BEGIN { printf "%.1f", b - a }') s in all, status $$rc"; \
	exit $$rc

# The same guest, its power cut under the logging service several times.
test-powercut: all
	@start=$$(date +%s.%N); deb='$(ARM64_DEB)'; \
	if [ -z "$$deb" ]; then $(MAKE) --no-print-directory package DEB_ARCHS=arm64 && \
	  deb=$$(ls $(DIST)/kestrode_*_arm64.deb 2>/dev/null | head -n 1); fi; \
	echo "== test-powercut with $$deb"; \
	timeout -k 10 $(POWERCUT_SECONDS) tests/service/powercut.sh "$$deb" $(BUILD)/kestrode-sim \
	  $(POWERCUT_BUILD) $(SERVICE_CACHE); \
	rc=$$?; echo "== test-powercut: $$(awk -v a=$$start -v b=$$(date +%s.%N) 'BEGIN { printf "%.1f", b - a }') s in all, status $$rc"; \
	exit $$rc

package:
	cmake/build-debs.sh $(DEB_BUILD) $(DIST) $(DEB_ARCHS)

check-package: package
	cmake/lint-debs.sh $(DIST) $(DEB_ARCHS)

# The packages of the release before, built once from its commit: the
# upgrade from it is checked.
old-package:
	@ls $(OLD_DIST)/kestrode_*_$(OLD_ARCH).deb >/dev/null 2>&1 || \
	  KESTRODE_COMMIT=$(OLD_COMMIT) cmake/build-debs.sh $(OLD_BUILD) $(OLD_DIST) $(OLD_ARCH)

# The arm64 packages of the release before, for the service test.
prev-package:
	@ls $(PREV_DIST)/kestrode_*_arm64.deb >/dev/null 2>&1 || \
	  KESTRODE_COMMIT=$(PREV_COMMIT) cmake/build-debs.sh $(PREV_BUILD) $(PREV_DIST) arm64

# Uses the packages in dist/ when they are there.
check-install: old-package
	@ls $(DIST)/kestrode_*_amd64.deb $(DIST)/kestrode-sim_*_amd64.deb >/dev/null 2>&1 || \
	  $(MAKE) package DEB_ARCHS=amd64
	cmake/check-install.sh $(DIST) amd64 $(OLD_DIST)

check-man:
	cmake/check-man.sh docs/kestrode.1
	cmake/check-man.sh docs/kestrode-sim.1
	cmake/check-notices.pl .
	cmake/check-sim-options.sh .
	cmake/check-examples.sh .

clean:
	rm -rf $(BUILD)
