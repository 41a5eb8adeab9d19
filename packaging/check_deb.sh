#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a built package: lintian reports no errors, and it holds both
# programs and both manual pages where they belong.
set -euo pipefail
deb=$1

lintian --fail-on error "$deb"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
status=0
for path in ./usr/sbin/cdbox-test ./usr/bin/cdbox-sim \
  ./usr/share/man/man8/cdbox-test.8.gz ./usr/share/man/man1/cdbox-sim.1.gz; do
  if ! grep -qx "$path" <<<"$contents"; then
    echo "check_deb: $deb lacks $path" >&2
    status=1
  fi
done
[ "$status" = 0 ] && echo "check_deb: $deb holds both programs and both manual pages"
exit "$status"
