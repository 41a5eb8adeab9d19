#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian source package and the binary packages (cdbox-test,
# cdbox-sim and their -dbgsym packages) from a copy of this tree, so that
# dpkg-buildpackage, which writes its results next to the tree it builds,
# writes nothing outside the source tree. Lists the packages it built.
#
#   build_deb.sh [OUTDIR]     (default: build-deb, inside the tree)
#
# The tests are not run (DEB_BUILD_OPTIONS=nocheck and the nocheck build
# profile), so GoogleTest is not needed: make test runs them.
set -euo pipefail
tree=$(cd "$(dirname "$0")/.." && pwd)
for tool in dpkg-buildpackage dh; do
  command -v "$tool" >/dev/null ||
    { echo "build_deb: $tool not found: apt-get install dpkg-dev debhelper" >&2; exit 1; }
done
out=${1:-$tree/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
copy=$out/cdbox-$version
rm -rf "$copy"
mkdir -p "$copy"
# Everything but the build folders and the repository itself.
tar -C "$tree" --exclude='./build*' --exclude=./.git --exclude=./out -cf - . | tar -C "$copy" -xf -

rm -f "$out"/cdbox*_"$version"_* "$out"/cdbox_"$version".*
(cd "$copy" && DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -us -uc -Pnocheck --build=source,binary)
rm -rf "$copy"

ls -1 "$out"/*.deb "$out"/*.dsc
