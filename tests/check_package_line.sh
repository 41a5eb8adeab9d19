#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's line for installing by hand must be the one tools/packages
# gives, so that the list is kept in one place.
#   tests/check_package_line.sh SOURCE_DIR
set -euo pipefail
cd "$1"
line=$(tools/setup-deps --print build test)
if ! grep -qxF "    $line" README.md; then
  echo "check_package_line: README.md lacks the line '$line' (from tools/packages)" >&2
  exit 1
fi
