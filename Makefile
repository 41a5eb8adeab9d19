# SPDX-License-Identifier: MIT
# A thin front end over the CMake presets. Every target that builds first
# installs what the machine lacks (tools/setup-deps), then configures the
# build folder unless it is complete already (tools/configure).
PRESET ?= default
BUILD_DIR := $(if $(filter default,$(PRESET)),build,build-$(PRESET))
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

# What a target needs; test adds its own, and its prerequisites inherit
# it.
SETUP_GROUPS = build
TESTS = ANY
test: SETUP_GROUPS = build test
test: TESTS = ON

.PHONY: all configure test demo install deb static clean

all: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

configure:
	@tools/setup-deps $(SETUP_GROUPS)
	@tools/configure $(PRESET) $(BUILD_DIR) $(TESTS)

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
	@tools/setup-deps build package
	packaging/build_deb.sh build-deb

# build-static/console/cdbox-test: one statically linked file.
static:
	@tools/setup-deps $(SETUP_GROUPS)
	@tools/configure static build-static $(TESTS)
	cmake --build --preset static -j $(JOBS) --target cdbox-test
	@file build-static/console/cdbox-test

clean:
	rm -rf build build-*
