# A thin front end over the CMake presets.
PRESET ?= default
BUILD_DIR := $(if $(filter default,$(PRESET)),build,build-$(PRESET))
JOBS ?= $(shell nproc)

.PHONY: all configure test demo clean

all: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

configure:
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake --preset $(PRESET)

test: all
	ctest --preset $(PRESET) -j $(JOBS)

# The tester on the virtual controller, in real time: no hardware, no root.
demo: all
	$(BUILD_DIR)/sim/cdbox-sim --close-after 2000 -- $(BUILD_DIR)/console/cdbox-test

clean:
	rm -rf build build-*
