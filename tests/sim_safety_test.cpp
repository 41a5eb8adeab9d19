// SPDX-License-Identifier: MIT
// What keeps a program under cdbox-sim from the real hardware even when it
// tries: the kernel-enforced boundary, the tracer's own robustness, and a
// trace that stays true. Each case is a small attack by the probe.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/harness/sim_run.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

SimRun run_probe(const Strings& options, const Strings& steps) {
  Strings all = {"--virtual-time"};
  all.insert(all.end(), options.begin(), options.end());
  Strings program = {probe_path()};
  program.insert(program.end(), steps.begin(), steps.end());
  return run_sim({all, program});
}

// No capability that reaches hardware or other processes is left in any
// set, while the uid stays and the virtual grants still work.
TEST(Boundary, HardwareCapabilitiesAreGoneUidStays) {
  const SimRun run = run_probe({}, {"uid", "caps", "iopl", "3", "inb", "0x482"});
  ASSERT_EQ(run.status, 0) << run.err;
  // Without CAP_SETPCAP (an ordinary user) the bounding set cannot shrink;
  // no_new_privs then keeps exec from raising anything.
  const std::string bounding = geteuid() == 0 ? "0" : "4b0000";
  const std::string uid = std::to_string(getuid());
  EXPECT_EQ(run.out, "uid = " + uid + " " + uid + "\ncaps = Inh:0 Prm:0 Eff:0 Bnd:" + bounding +
                         " Amb:0\niopl = 0\ninb = 0x0\n");
}

// A child of the test that waits to be killed: a bystander with all the
// privilege the test has.
class Bystander {
 public:
  Bystander() : pid_(fork()) {
    if (pid_ == 0) {
      pause();
      _exit(0);
    }
  }
  Bystander(const Bystander&) = delete;
  Bystander& operator=(const Bystander&) = delete;
  ~Bystander() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

TEST(Boundary, CannotAttachToTheSimulatorOrABystander) {
  const SimRun own = run_probe({}, {"attach", "parent"});
  ASSERT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(own.out, "attach = EPERM\n");
  if (geteuid() != 0) {
    GTEST_SKIP() << "a bystander of an ordinary user holds no privilege to take over";
  }
  const Bystander bystander;
  const SimRun other = run_probe({}, {"attach", std::to_string(bystander.pid())});
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(other.out, "attach = EPERM\n");
}

// Real port privilege the simulator inherited is not passed on: the
// program's IN faults and, lacking a virtual grant, is a violation. Port
// 0x80 (the POST code port) is the one granted, so even a failure here
// would read only that harmless port.
TEST(Boundary, InheritedPortPrivilegeIsGivenUp) {
  struct Row {
    const char* name;
    int (*grant)();
    int (*revoke)();
  };
  const Row rows[] = {
      {"ioperm", [] { return ioperm(0x80, 1, 1); }, [] { return ioperm(0x80, 1, 0); }},
      {"iopl", [] { return iopl(3); }, [] { return iopl(0); }},
  };
  int tried = 0;
  for (const Row& row : rows) {
    if (row.grant() != 0) {
      std::printf("%s: the kernel refuses real port privilege here: %s\n", row.name,
                  std::strerror(errno));
      continue;
    }
    ++tried;
    const SimRun run = run_probe({}, {"inbi"});
    row.revoke();
    EXPECT_EQ(run.status, 70) << row.name;
    EXPECT_EQ(
        run.events(),
        (Strings{"exec", "violation in from port 0x80 without permission (no iopl or ioperm grant)",
                 "killed SIGSEGV"}))
        << row.name;
  }
  if (tried == 0) {
    GTEST_SKIP() << "this kernel grants neither iopl nor ioperm (see the lines above)";
  }
}

// A filter of the program's own that asks for the same stops with other
// data does not steer the tracer: the calls are still answered virtually,
// as the kernel's own report of the call number says.
TEST(Dispatch, StackedFilterCannotSteerTheTracer) {
  const SimRun run = run_probe({}, {"ownfilter", "iopl", "3", "ioperm", "0x482", "3", "1", "inb",
                                    "0x482", "usleep", "300000", "nanosleep", "200000"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "ownfilter = 0\niopl = 0\nioperm = 0\ninb = 0x0\n");
  EXPECT_EQ(run.events(), (Strings{"exec", "iopl 3 = 0", "ioperm 0x482 3 1 = 0", "in 0x482 = 0x00",
                                   "sleep 0.300000", "sleep 0.200000", "exit 0"}));
  // Virtual time: the sleeps were skipped, not slept.
  EXPECT_EQ(run.trace.back().time_us, 500'000);
}

}  // namespace
}  // namespace cdbox::test
