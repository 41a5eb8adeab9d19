// SPDX-License-Identifier: MIT
// Virtual time end to end: the time probe's waits and clock reads under
// cdbox-sim, with the trace, the program's own view of the clock and the
// violations, and the calls the kernel refuses compared with a native run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/sim_run.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

std::string time_probe_path() {
  return CDBOX_TIME_PROBE_PATH;
}

const std::string kVirtualHold = "drawer 1 solenoid energized longer than 500 ms";
const std::string kRealHold = kVirtualHold + " of real time";
const Strings kVirtual = {"--virtual-time"};

SimRun run_probe(const Strings& options, const Strings& steps) {
  Strings program = {time_probe_path()};
  program.insert(program.end(), steps.begin(), steps.end());
  return run_sim({options, program});
}

const TraceLine* find_event(const SimRun& run, const std::string& event) {
  for (const TraceLine& line : run.trace) {
    if (line.event() == event) {
      return &line;
    }
  }
  return nullptr;
}

Strings violations_of(const SimRun& run) {
  Strings found;
  for (const TraceLine& line : run.trace) {
    if (line.text.starts_with("violation ")) {
      found.push_back(line.text.substr(10));
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

struct TimeCase {
  const char* name;
  Strings options;
  Strings steps;
  int status;
  std::string out;
  // Events (by TraceLine::event()) and the time in us of their first line.
  std::vector<std::pair<std::string, std::int64_t>> at;
  Strings violations;  // sorted
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << c.name;
}

class TimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeTest, RunsOnTheVirtualClock) {
  const TimeCase& c = GetParam();
  const SimRun run = run_probe(c.options, c.steps);
  ASSERT_TRUE(run.status.has_value()) << "timed out";
  EXPECT_EQ(*run.status, c.status) << run.err;
  EXPECT_EQ(run.out, c.out);
  for (const auto& [event, time_us] : c.at) {
    const TraceLine* line = find_event(run, event);
    ASSERT_NE(line, nullptr) << event;
    EXPECT_EQ(line->time_us, time_us) << event;
  }
  EXPECT_EQ(violations_of(run), c.violations);
  // Time never goes back.
  for (std::size_t i = 1; i < run.trace.size(); ++i) {
    EXPECT_GE(run.trace[i].time_us, run.trace[i - 1].time_us) << run.trace[i].text;
  }
}

constexpr std::int64_t kLatestUs = 9'223'372'036'854'775;

INSTANTIATE_TEST_SUITE_P(
    Waits, TimeTest,
    ::testing::Values(
        TimeCase{"OverlappingThreadSleeps",
                 kVirtual,
                 {"mark", "MONOTONIC", "on", "bg", "sleep", "250000", "elapsed", "MONOTONIC", "end",
                  "sleep", "300000", "off", "elapsed", "MONOTONIC", "join"},
                 0,
                 "MONOTONIC = 250000\nMONOTONIC = 300000\n",
                 {{"drawer 1 open", 50'000}, {"out 0x482 0x00", 300'000}},
                 {}},
        TimeCase{"ChildSleepsWhileParentPulses",
                 kVirtual,
                 {"mark", "MONOTONIC", "on", "fork", "sleep", "250000", "elapsed", "MONOTONIC",
                  "end", "sleep", "300000", "off", "wait", "elapsed", "MONOTONIC"},
                 0,
                 "MONOTONIC = 250000\nMONOTONIC = 300000\n",
                 {{"out 0x482 0x00", 300'000}},
                 {}},
        TimeCase{"ReadBlockedThreadDoesNotHoldBackASleeper",
                 kVirtual,
                 {"readblock", "mark", "MONOTONIC", "sleep", "300000", "elapsed", "MONOTONIC"},
                 0,
                 "MONOTONIC = 300000\n",
                 {{"exit 0", 300'000}},
                 {}},
        TimeCase{"AbsoluteDeadlinesOnMonotonic",
                 kVirtual,
                 {"mark", "MONOTONIC", "on", "until", "MONOTONIC", "100000", "until", "MONOTONIC",
                  "200000", "until", "MONOTONIC", "300000", "off", "elapsed", "MONOTONIC"},
                 0,
                 "MONOTONIC = 300000\n",
                 {{"out 0x482 0x00", 300'000}},
                 {}},
        TimeCase{"AbsoluteDeadlinesOnRealtime",
                 kVirtual,
                 {"mark", "REALTIME", "on", "until", "REALTIME", "100000", "until", "REALTIME",
                  "200000", "until", "REALTIME", "300000", "off", "elapsed", "REALTIME"},
                 0,
                 "REALTIME = 300000\n",
                 {{"out 0x482 0x00", 300'000}},
                 {}},
        TimeCase{"EveryClockReadsTheVirtualClock",
                 kVirtual,
                 {"mark",    "REALTIME",     "mark",    "BOOTTIME", "mark",    "MONOTONIC_COARSE",
                  "mark",    "GETTIMEOFDAY", "mark",    "TIME",     "sleep",   "2000000",
                  "elapsed", "REALTIME",     "elapsed", "BOOTTIME", "elapsed", "MONOTONIC_COARSE",
                  "elapsed", "GETTIMEOFDAY", "elapsed", "TIME"},
                 0,
                 "REALTIME = 2000000\nBOOTTIME = 2000000\nMONOTONIC_COARSE = 2000000\n"
                 "GETTIMEOFDAY = 2000000\nTIME = 2000000\n",
                 {{"exit 0", 2'000'000}},
                 {}},
        TimeCase{"SelectPulseIsExact",
                 kVirtual,
                 {"on", "select", "300000", "off"},
                 0,
                 "",
                 {{"sleep 0.300000", 0}, {"out 0x482 0x00", 300'000}},
                 {}},
        // Flags other than TIMER_ABSTIME mean nothing to the kernel.
        TimeCase{"OtherFlagBitsAreIgnored",
                 kVirtual,
                 {"clockerr", "1", "-2", "0", "1000"},
                 0,
                 "clock_nanosleep = 0\n",
                 {{"exit 0", 1}},
                 {}},
        TimeCase{"HugeSleepSaturates",
                 kVirtual,
                 {"sleep", "10000000000000000", "sleep", "1000000"},
                 0,
                 "",
                 {{"exit 0", kLatestUs}},
                 {}},
        TimeCase{"TwoHugeSleepsSaturate",
                 kVirtual,
                 {"sleep", "5000000000000000", "sleep", "5000000000000000", "sleep", "1"},
                 0,
                 "",
                 {{"sleep 0.000001", kLatestUs}, {"exit 0", kLatestUs}},
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Holds, TimeTest,
    ::testing::Values(
        TimeCase{"SelectHold",
                 kVirtual,
                 {"on", "select", "1000000", "off"},
                 70,
                 "",
                 {{"violation " + kVirtualHold, 500'000}, {"out 0x482 0x00", 1'000'000}},
                 {kVirtualHold}},
        TimeCase{"PselectHold",
                 kVirtual,
                 {"on", "pselect", "1000000", "off"},
                 70,
                 "",
                 {{"out 0x482 0x00", 1'000'000}},
                 {kVirtualHold}},
        TimeCase{"PollHold",
                 kVirtual,
                 {"on", "poll", "1000", "off"},
                 70,
                 "",
                 {{"out 0x482 0x00", 1'000'000}},
                 {kVirtualHold}},
        TimeCase{"PpollHold",
                 kVirtual,
                 {"on", "ppoll", "1000000", "off"},
                 70,
                 "",
                 {{"out 0x482 0x00", 1'000'000}},
                 {kVirtualHold}},
        // A wait on a descriptor stays real and takes no virtual time; the
        // real-time net catches the hold.
        TimeCase{"DescriptorSelectHoldCaughtInRealTime",
                 kVirtual,
                 {"on", "selectfd", "700000", "off"},
                 70,
                 "",
                 {{"out 0x482 0x00", 0}},
                 {kRealHold}},
        TimeCase{"SelectHoldInRealTime",
                 {},
                 {"on", "select", "600000", "off"},
                 70,
                 "",
                 {},
                 {kVirtualHold}},
        TimeCase{
            "BusyHoldInRealTime", {}, {"on", "busy", "600000", "off"}, 70, "", {}, {kVirtualHold}}),
    [](const auto& info) { return std::string(info.param.name); });

// A busy wait makes the virtual clock follow real time: the hold lasts as
// long on the virtual clock as the program measured, and is caught both
// ways.
TEST(BusyTime, BusyWaitHoldPassesTimeAndIsAViolation) {
  const SimRun run = run_probe(kVirtual, {"on", "busy", "1000000", "off"});
  ASSERT_EQ(run.status, 70) << run.err;
  const TraceLine* on = find_event(run, "out 0x482 0x10");
  const TraceLine* off = find_event(run, "out 0x482 0x00");
  ASSERT_TRUE(on != nullptr && off != nullptr);
  EXPECT_GE(off->time_us - on->time_us, 1'000'000);
  EXPECT_EQ(violations_of(run), (Strings{kVirtualHold, kRealHold}));
}

// A signal that the program catches ends a virtual sleep as it ends a real
// one: EINTR, and the time left.
TEST(Signals, CaughtSignalEndsASleepWithTheTimeLeft) {
  for (const Strings& options : {kVirtual, Strings{}}) {
    const SimRun run = run_probe(options, {"interrupted", "100000000"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "nanosleep = EINTR\nleft less than asked\n");
  }
}

// Calls the kernel refuses get its answer, and move no clock.
TEST(KernelAnswers, RefusedCallsFailAsNatively) {
  const Strings steps = {
      "clockerr", "99", "0", "0", "1000", "clockerr", "-1", "0", "0", "1000",
      // CLOCK_THREAD_CPUTIME_ID, CLOCK_MONOTONIC_RAW, CLOCK_MONOTONIC_COARSE
      "clockerr", "3", "0", "0", "1000", "clockerr", "4", "0", "0", "1000", "clockerr", "6", "0",
      "0", "1000",
      // This thread's CPU clock by its dynamic id.
      "clockerr", "-2", "0", "0", "1000", "clockerr", "1", "0", "0", "1000000000", "clockerr", "1",
      "0", "-1", "0", "clockerr", "1", "1", "-1", "0", "clockerr", "1", "0", "0", "-1", "nserr",
      "0", "1000000000", "nserr", "-1", "0", "selecterr", "-1", "0", "1000", "selecterr", "0", "-1",
      "0", "selecterr", "0", "0", "-1", "ppollerr", "0", "1000000000", "ppollerr", "-1", "0",
      "gettime", "99", "gettime", "-1", "gettime", "4", "efault", "nanosleep", "efault",
      "clock_nanosleep", "efault", "clock_nanosleep_badclock", "efault", "clock_gettime", "efault",
      "gettimeofday", "efault", "time", "efault", "select", "efault", "pselect6", "efault",
      "ppoll"};
  Strings native_argv = {time_probe_path()};
  native_argv.insert(native_argv.end(), steps.begin(), steps.end());
  SimProcess native(native_argv, Terminal::Pipes);
  native.close_input();
  ASSERT_EQ(native.wait_exit(), 0);
  ASSERT_NE(native.out().find("EOPNOTSUPP"), std::string::npos) << native.out();

  const SimRun run = run_probe(kVirtual, steps);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, native.out());
  for (const TraceLine& line : run.trace) {
    EXPECT_FALSE(line.text.starts_with("sleep ")) << line.text;
    EXPECT_EQ(line.time_us, 0) << line.text;
  }
}

}  // namespace
}  // namespace cdbox::test
