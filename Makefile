# SPDX-License-Identifier: MIT
# A thin front end over the CMake presets.
PRESET ?= default
BUILD_DIR := $(if $(filter default,$(PRESET)),build,build-$(PRESET))
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all configure test demo install deb static clean

all: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

configure:
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake --preset $(PRESET)

test: all
	ctest --preset $(PRESET) -j $(JOBS)

# The tester on the virtual controller, in real time: no hardware, no root.
demo: all
	$(BUILD_DIR)/sim/cdbox-sim --close-after 2000 -- $(BUILD_DIR)/console/cdbox-test

# Honours DESTDIR, as usual.
install: all
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# build-deb/: the source package and the cdbox-test, cdbox-sim and -dbgsym
# packages, built by dpkg-buildpackage from a copy of the tree.
deb:
	packaging/build_deb.sh build-deb

# build-static/console/cdbox-test: one statically linked file.
static:
	@test -f build-static/CMakeCache.txt || cmake --preset static
	cmake --build --preset static -j $(JOBS) --target cdbox-test
	@file build-static/console/cdbox-test

clean:
	rm -rf build build-*
