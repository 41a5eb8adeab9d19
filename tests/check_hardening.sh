#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails unless BINARY is hardened: PIE, full RELRO with BIND_NOW, a stack
# protector, fortified libc calls and a stack that is not executable.
# devscripts' hardening-check judges a dynamic binary where it is
# installed; otherwise, and for the static tester, the ELF headers are read
# here. Neither asks for the IBT/SHSTK property of -fcf-protection: the
# linker sets it only when every object has it, and the C library's start
# files of Debian 12 do not.
#
#   check_hardening.sh BINARY [--static] [--no-fortify] [--symbols FILE]
#
# --static: a static executable has no loader, so it is not PIE and binds
# nothing at run time; it must be stripped, so its symbols are read from
# FILE (its separate debug file, --symbols) instead.
# CDBOX_NO_HARDENING_CHECK=1 uses the ELF check even where hardening-check
# is installed.
set -u
binary=$1
shift
static=0
fortify=1
symbols_file=$binary
while [ $# -gt 0 ]; do
  case $1 in
    --static) static=1 ;;
    --no-fortify) fortify=0 ;;
    --symbols) symbols_file=$2; shift ;;
    *) echo "check_hardening.sh: unknown option '$1'" >&2; exit 2 ;;
  esac
  shift
done

if [ "$static" = 0 ] && [ "${CDBOX_NO_HARDENING_CHECK:-0}" = 0 ] && command -v hardening-check >/dev/null; then
  flags=(--nocfprotection)
  [ "$fortify" = 1 ] || flags+=(--nofortify)
  report=$(hardening-check "${flags[@]}" "$binary")
  status=$?
  [ "$status" = 0 ] && echo "$binary: hardened (hardening-check)" || echo "$report" >&2
  exit "$status"
fi

failures=0
fail() {
  echo "$binary: $1" >&2
  failures=$((failures + 1))
}

header=$(readelf -hW "$binary") || exit 1
segments=$(readelf -lW "$binary")
dynamic=$(readelf -dW "$binary")
sections=$(readelf -SW "$binary")
symbols=$(readelf -sW "$symbols_file") || exit 1

if [ "$static" = 1 ]; then
  grep -q 'Type: *EXEC' <<<"$header" || fail "not a static executable"
  grep -q 'INTERP' <<<"$segments" && fail "has a program interpreter: not static"
  grep -Eq ' \.(symtab|debug_info) ' <<<"$sections" && fail "not stripped"
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
