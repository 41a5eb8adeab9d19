#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails unless the licence is stated the same everywhere: every source,
# build and script file starts with its SPDX line (after the #! line of a
# script), debian/copyright holds LICENSE's copyright and text, and
# cdbox-sim --version (when CDBOX_SIM is given) names the same holder.
#
#   check_licence.sh [CDBOX_SIM]
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
fail() {
  echo "check_licence: $1" >&2
  status=1
}

# Files that cannot hold a comment, or are the licence and its notices.
exempt='^(LICENSE|README\.md|\.gitignore|CMakePresets\.json|debian/(changelog|copyright|source/format))$'
# Git knows which files are the project's; an unpacked source package also
# holds whatever its build left, so there only the notices are compared.
files=""
checked="every file is MIT, and "
if command -v git >/dev/null && [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
  files=$(git ls-files --cached --others --exclude-standard)
else
  checked="not a git checkout, so SPDX lines not checked; "
fi
while IFS= read -r file; do
  [ -n "$file" ] || continue
  [[ $file =~ $exempt ]] && continue
  head=$(head -n 2 -- "$file")
  first=${head%%$'\n'*}
  [[ $first == '#!'* ]] && head=${head#*$'\n'} || head=$first
  [[ $head == *'SPDX-License-Identifier: MIT'* ]] || fail "$file does not start with its SPDX line"
done <<<"$files"

holder=$(sed -n 's/^Copyright (c) \(.*\)$/\1/p' LICENSE)
[ -n "$holder" ] || fail "LICENSE has no 'Copyright (c) YEAR HOLDER' line"
grep -qx "Copyright: $holder" debian/copyright || fail "debian/copyright does not say 'Copyright: $holder'"
licence_text=$(sed -n '5,$p' LICENSE)
# The stanza "License: Expat": its text lines are indented, '.' is a blank line.
copyright_text=$(awk '/^License: Expat$/ {stanza++; next} stanza == 2 && /^ / {print}' debian/copyright |
  sed 's/^ //; s/^\.$//')
[ "$licence_text" = "$copyright_text" ] || fail "debian/copyright's Expat text is not LICENSE's"
grep -qx 'MIT License' <(head -n 1 LICENSE) || fail "LICENSE is not the MIT licence"

notices="LICENSE and debian/copyright agree"
if [ $# -gt 0 ]; then
  notices="LICENSE, debian/copyright and --version agree"
  version=$("$1" --version) || fail "$1 --version failed"
  grep -qx "Copyright (C) $holder" <<<"$version" || fail "$1 --version does not say 'Copyright (C) $holder'"
fi

[ "$status" = 0 ] && echo "check_licence: ${checked}${notices}"
exit "$status"
