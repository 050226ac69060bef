# Thin wrapper over CMake: `make`, `make test`, `make demo`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all configure test demo clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	@if [ -x tools/demo.sh ]; then tools/demo.sh $(BUILD); \
	else echo "the simulated instrument is not built yet; run: $(BUILD)/kestrode /dev/ttyS0"; fi

clean:
	rm -rf $(BUILD)
