// SPDX-License-Identifier: MIT
// What the kernel and the CPU must offer for some tests, probed at run time,
// so that a test skips with the reason instead of failing on a machine
// that lacks it. On a machine that has the feature the test runs as usual.
#pragma once

#include <optional>
#include <string>

namespace cdbox::test {

enum class Feature {
  Ptrace,            // tracing one's own child (PTRACE_SEIZE), as cdbox-sim does
  SeccompTrace,      // seccomp filters that hand calls to the tracer
  CompatEntry,       // the 32-bit system call entry (int 0x80) from 64-bit code
  PseudoTerminal,    // a pseudo-terminal to run a program on
  PrivateSecurityfs  // as root, a mount over /sys/kernel/security in a
                     // private mount namespace (unshare --mount), for a
                     // lockdown file of a test's own
};

// nullopt when feature works here, else what is missing and why. Each
// feature is probed once per process.
std::optional<std::string> missing(Feature feature);

}  // namespace cdbox::test

// Skips the running test when feature is missing, saying why.
#define CDBOX_SKIP_UNLESS(feature)                              \
  if (const auto cdbox_why = ::cdbox::test::missing(feature)) { \
    GTEST_SKIP() << *cdbox_why;                                 \
  }
