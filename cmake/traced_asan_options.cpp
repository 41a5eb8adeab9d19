// SPDX-License-Identifier: MIT
// Linked, in the sanitizer build only, into the programs that run under
// cdbox-sim: LeakSanitizer stops its own process with ptrace at exit,
// which a traced process cannot do. The simulator and the tests, which are
// not traced, keep leak checking.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}
