// SPDX-License-Identifier: MIT
// Signals that reach cdbox-test in the middle of a pulse: the pulse still
// ends at rest after its full hold, and the signal takes effect afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

class MidPulseTest : public ::testing::TestWithParam<int> {};

TEST_P(MidPulseTest, PulseEndsAtRestThenSignalActs) {
  const int sig = GetParam();
  const std::string name = std::string("SIG") + sigabbrev_np(sig);
  const SimRun run =
      run_sim({{"--virtual-time", "--signal-on-pulse", name}, {tester_path()}, "1\n1\n"});
  ASSERT_TRUE(run.status.has_value());
  EXPECT_EQ(*run.status, 128 + sig) << run.err;
  EXPECT_EQ(run.err, "");
  // The whole pulse, then the signal's default action: no second screen.
  EXPECT_EQ(run.out, expected_screen(0) + expected_pulse('1'));
  EXPECT_EQ(run.events(), (Strings{"exec", "iopl 3 = 0", "in 0x482 = 0x00", "ioperm 0x482 3 1 = 0",
                                   "out 0x482 0x10", "signal " + name, "sleep 0.300000",
                                   "drawer 1 open", "out 0x482 0x00", "killed " + name}));
  std::int64_t on = -1;
  std::int64_t off = -1;
  for (const TraceLine& line : run.trace) {
    if (line.text == "out 0x482 0x10") {
      on = line.time_us;
    } else if (line.text == "out 0x482 0x00") {
      off = line.time_us;
    }
  }
  EXPECT_EQ(off - on, 300'000);
}

INSTANTIATE_TEST_SUITE_P(Signals, MidPulseTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM,
                                           SIGUSR1),
                         [](const auto& info) {
                           return std::string("SIG") + sigabbrev_np(info.param);
                         });

TEST(MidPulseStop, StopsAtRestAndGoesOnAfterContinue) {
  TempDir dir;
  const std::string trace = dir.file("trace");
  SimProcess process(
      sim_command_line({{"--virtual-time", "--signal-on-pulse", "SIGTSTP"}, {tester_path()}},
                       trace),
      Terminal::Pipes);
  process.send("1\n");
  process.close_input();
  const auto sent = wait_for_trace_line(trace, "signal SIGTSTP");
  ASSERT_TRUE(sent.has_value());
  const std::string pulsed = expected_screen(0) + expected_pulse('1');
  ASSERT_TRUE(
      process.wait_for([&](const std::string& out) { return out.size() >= pulsed.size(); }));
  ASSERT_TRUE(wait_until_stopped(sent->pid));
  // Stopped, with the register at rest and nothing more written.
  process.poll_now();
  EXPECT_EQ(process.out(), pulsed);
  const SimRun so_far{std::nullopt, "", "", parse_trace(read_file(trace))};
  EXPECT_EQ(so_far.writes_to("0x482"), (Strings{"0x10", "0x00"}));

  kill(sent->pid, SIGCONT);
  ASSERT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.out(), expected_session(0, "1"));
  const SimRun all{0, "", "", parse_trace(read_file(trace))};
  EXPECT_EQ(all.writes_to("0x482"), (Strings{"0x10", "0x00"}));
}

}  // namespace
}  // namespace cdbox::test
