#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Reads a binary's ELF headers and fails unless it is hardened: PIE, full
# RELRO with BIND_NOW, a stack protector, fortified libc calls and a stack
# that is not executable.
#
#   check_hardening.sh BINARY [--static] [--no-fortify]
#
# --static: a static executable has no loader, so it is not PIE and binds
# nothing at run time; the other checks still hold.
set -u
binary=$1
shift
static=0
fortify=1
for arg in "$@"; do
  case $arg in
    --static) static=1 ;;
    --no-fortify) fortify=0 ;;
  esac
done

failures=0
fail() {
  echo "$binary: $1" >&2
  failures=$((failures + 1))
}

header=$(readelf -hW "$binary") || exit 1
segments=$(readelf -lW "$binary")
dynamic=$(readelf -dW "$binary")
symbols=$(readelf -sW "$binary")

if [ "$static" = 1 ]; then
  grep -q 'Type: *EXEC' <<<"$header" || fail "not a static executable"
  grep -q 'INTERP' <<<"$segments" && fail "has a program interpreter: not static"
else
  grep -q 'Type: *DYN' <<<"$header" || fail "not PIE (ELF type is not DYN)"
  grep -Eq '\(BIND_NOW\)|\(FLAGS\).*NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" ||
    fail "no BIND_NOW: RELRO is only partial"
fi
grep -q 'GNU_RELRO' <<<"$segments" || fail "no GNU_RELRO segment"
stack=$(grep 'GNU_STACK' <<<"$segments")
[ -n "$stack" ] || fail "no GNU_STACK segment: the stack may be executable"
grep -q 'RWE' <<<"$stack" && fail "executable stack"
grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector (__stack_chk_fail)"
if [ "$fortify" = 1 ]; then
  grep -Eq '__(printf|fprintf|snprintf|sprintf|vfprintf|memcpy|read|fgets|strcpy)_chk' <<<"$symbols" ||
    fail "no fortified calls (_FORTIFY_SOURCE)"
fi

[ "$failures" = 0 ] && echo "$binary: hardened"
exit "$failures"
