#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what make deb built in DIR: lintian --pedantic finds no error and
# no warning in the source package or any binary package, each package
# holds its program and manual page where they belong, and each program is
# hardened.
#
#   check_deb.sh [DIR]     (default: build-deb)
set -euo pipefail
tree=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$tree/build-deb}
changes=$(find "$dir" -maxdepth 1 -name 'cdbox_*.changes')
[ "$(wc -l <<<"$changes")" = 1 ] && [ -n "$changes" ] ||
  { echo "check_deb: want one cdbox_*.changes in $dir; run make deb" >&2; exit 1; }

# The .changes file names the source package and every binary package.
lintian --pedantic --display-info --fail-on error,warning "$changes"

status=0
unpacked=$dir/unpacked
rm -rf "$unpacked"
trap 'rm -rf "$unpacked"' EXIT
check_package() {
  local package=$1 program=$2 page=$3
  local deb
  deb=$(find "$dir" -maxdepth 1 -name "${package}_*.deb")
  if [ -z "$deb" ]; then
    echo "check_deb: no $package package in $dir" >&2
    status=1
    return
  fi
  if [ -z "$(find "$dir" -maxdepth 1 -name "${package}-dbgsym_*.deb")" ]; then
    echo "check_deb: no $package-dbgsym package in $dir" >&2
    status=1
  fi
  local contents
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "./$program" "./$page" "./usr/share/doc/$package/copyright"; do
    if ! grep -qx "$path" <<<"$contents"; then
      echo "check_deb: $deb lacks $path" >&2
      status=1
    fi
  done
  mkdir -p "$unpacked/$package"
  dpkg-deb -x "$deb" "$unpacked/$package"
  "$tree/tests/check_hardening.sh" "$unpacked/$package/$program" || status=1
}
check_package cdbox-test usr/sbin/cdbox-test usr/share/man/man8/cdbox-test.8.gz
check_package cdbox-sim usr/bin/cdbox-sim usr/share/man/man1/cdbox-sim.1.gz
[ "$status" = 0 ] && echo "check_deb: lintian is clean; both packages hold their program and page, hardened"
exit "$status"
