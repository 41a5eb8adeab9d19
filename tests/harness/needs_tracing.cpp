// SPDX-License-Identifier: MIT
// Linked into every test program that runs cdbox-sim: where the kernel
// lets no process trace its child through a seccomp filter, the simulator
// cannot start anything, so each of these tests skips with the reason.
#include <gtest/gtest.h>

#include "tests/harness/platform.h"

namespace cdbox::test {
namespace {

// A skip recorded as a test starts keeps its body from running.
class NeedsTracing : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& /*test*/) override {
    CDBOX_SKIP_UNLESS(Feature::Ptrace);
    CDBOX_SKIP_UNLESS(Feature::SeccompTrace);
  }
};

[[maybe_unused]] const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new NeedsTracing);
  return true;
}();

}  // namespace
}  // namespace cdbox::test
