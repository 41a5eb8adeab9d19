// SPDX-License-Identifier: MIT
// Virtual time end to end: the time probe's waits and clock reads under
// cdbox-sim, with the trace, the program's own view of the clock and the
// violations, and the calls the kernel refuses compared with a native run.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/auxv.h"
#include "sim/clock.h"
#include "sim/real_time_net.h"
#include "sim/scheduler.h"
#include "sim/task_states.h"
#include "sim/waits.h"
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
    EXPECT_EQ(run.out, "nanosleep = EINTR\nleft at most asked\n");
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

// The scheduler against tasks whose states the test sets.
class FakeStates final : public sim::TaskStates {
 public:
  std::map<pid_t, char> states;
  std::map<pid_t, std::int64_t> cpu;
  std::set<pid_t> signalled;
  char state(pid_t tid) override { return states.contains(tid) ? states[tid] : '?'; }
  std::optional<std::int64_t> cpu_ns(pid_t tid) override {
    return cpu.contains(tid) ? std::optional(cpu[tid]) : std::nullopt;
  }
  bool interrupting_signal_pending(pid_t tid) override { return signalled.contains(tid); }
};

struct SchedulerFixture {
  sim::SimClock clock{true};
  FakeStates states;
  sim::Scheduler scheduler{clock, states};
  std::vector<std::pair<pid_t, std::int64_t>> woken;  // task, clock at its wake
  bool interrupted = false;

  void park(pid_t tid, std::int64_t deadline) {
    scheduler.park(tid, deadline, [this, tid](sim::Scheduler::WaitEnd end) {
      woken.emplace_back(tid, clock.now_ns());
      interrupted = interrupted || end == sim::Scheduler::WaitEnd::Signal;
    });
  }
};

TEST(Scheduler, EarliestDeadlineFirstOnceEveryoneWaits) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1, 2, 3};
  f.states.states = {{1, 't'}, {2, 't'}, {3, 'R'}};
  f.park(1, 300);
  f.park(2, 250);
  f.scheduler.step(tasks);
  // Task 3 still runs: nothing may end yet.
  EXPECT_TRUE(f.woken.empty());
  f.states.states[3] = 'S';
  f.scheduler.step(tasks);
  // Woken, task 2 runs on until it waits again.
  f.states.states[2] = 'S';
  f.scheduler.step(tasks);
  EXPECT_EQ(f.woken, (std::vector<std::pair<pid_t, std::int64_t>>{{2, 250}, {1, 300}}));
  EXPECT_FALSE(f.interrupted);
}

TEST(Scheduler, OneWakeAtATimeInTheOrderTheWaitsBegan) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1, 2};
  f.park(2, 100);
  f.park(1, 100);
  f.scheduler.step(tasks);
  ASSERT_EQ(f.woken.size(), 1U);
  EXPECT_EQ(f.woken[0].first, 2);
  // The woken task runs until it reports its next stop.
  f.states.states[2] = 'R';
  f.scheduler.step(tasks);
  EXPECT_EQ(f.woken.size(), 1U);
  f.states.states[2] = 'S';
  f.scheduler.step(tasks);
  EXPECT_EQ(f.woken.size(), 2U);
}

TEST(Scheduler, UnreportedStopIsNotAWaitButAGroupStopIs) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1, 2};
  f.states.states[2] = 't';
  f.park(1, 100);
  f.scheduler.step(tasks);
  EXPECT_TRUE(f.woken.empty());
  f.scheduler.job_stopped(2);
  f.scheduler.step(tasks);
  EXPECT_EQ(f.woken.size(), 1U);
}

// A task's end is no wait: from its exit stop until its death notice it
// is ending, and the notice wakes whoever waits for it (a parent in
// waitpid), who may still look asleep for a moment after.
TEST(Scheduler, AnEndIsNotAWait) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1, 2, 3};
  f.states.states = {{2, 'Z'}, {3, 'S'}};
  f.park(1, 100);
  f.scheduler.task_ending(2);
  f.scheduler.step(tasks);
  EXPECT_TRUE(f.woken.empty());
  f.scheduler.on_event(2);
  f.scheduler.task_ended();
  const std::vector<pid_t> left = {1, 3};
  f.scheduler.step(left);
  EXPECT_TRUE(f.woken.empty());
  ASSERT_TRUE(wait_until([&] {
    f.scheduler.step(left);
    return !f.woken.empty();
  }));
  EXPECT_EQ(f.woken, (std::vector<std::pair<pid_t, std::int64_t>>{{1, 100}}));
}

// A shell that runs one short command after another while a sleep of its
// own waits in the background: the clock stays put until the shell too
// waits, though each command's end wakes it from waitpid a moment after
// the simulator takes the death notice.
TEST(Scheduler, ShellBetweenCommandsIsNotWaiting) {
  const std::string script = "'" + time_probe_path() +
                             "' sleep 10000000 & i=0; while [ $i -lt 40 ]; do /bin/true; "
                             "i=$((i + 1)); done; wait";
  const SimRun run = run_sim({kVirtual, {"/bin/sh", "-c", script}});
  ASSERT_EQ(run.status, 0) << run.err;
  int execs = 0;
  for (const TraceLine& line : run.trace) {
    if (line.event().starts_with("exec")) {
      ++execs;
      EXPECT_EQ(line.time_us, 0) << line.text;
    }
  }
  EXPECT_EQ(execs, 1 + 1 + 40);  // the shell, the sleep, the commands
  ASSERT_FALSE(run.trace.empty());
  EXPECT_EQ(run.trace.back().time_us, 10'000'000);
}

TEST(Scheduler, TaskThatLeftItsStopIsForgotten) {
  SchedulerFixture f;
  f.park(1, 100);
  f.scheduler.on_event(1);
  f.scheduler.step(std::vector<pid_t>{1});
  EXPECT_TRUE(f.woken.empty());
  EXPECT_FALSE(f.scheduler.parked(1));
}

TEST(Scheduler, SignalEndsAWaitThatHadToWait) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1, 2};
  f.states.states[2] = 'R';
  f.park(1, 1'000'000'000);
  f.scheduler.step(tasks);
  f.states.signalled.insert(1);
  f.states.states[2] = 'S';
  f.scheduler.step(tasks);
  ASSERT_EQ(f.woken.size(), 1U);
  EXPECT_TRUE(f.interrupted);
  EXPECT_EQ(f.clock.now_ns(), 0);
}

TEST(Scheduler, ComputingPastTheQuantumMakesTheClockFollowRealTime) {
  SchedulerFixture f;
  const std::vector<pid_t> tasks = {1};
  f.states.states[1] = 'R';
  f.states.cpu[1] = 0;
  f.scheduler.step(tasks);
  EXPECT_FALSE(f.clock.follows_real_time());
  // A short burst, then a wait: no time passes.
  f.states.cpu[1] = sim::Scheduler::kQuantumNs - 1;
  ASSERT_TRUE(wait_until([&] {
    f.scheduler.step(tasks);
    return f.clock.real_ns() > 2 * sim::Scheduler::kQuantumNs;
  }));
  EXPECT_FALSE(f.clock.follows_real_time());
  f.states.cpu[1] = sim::Scheduler::kQuantumNs;
  ASSERT_TRUE(wait_until([&] {
    f.scheduler.step(tasks);
    return f.clock.follows_real_time();
  }));
  // Its wait stops the clock again.
  f.park(1, sim::kTimeMax);
  EXPECT_FALSE(f.clock.follows_real_time());
}

TEST(Clock, NeverGoesBackAndSaturates) {
  sim::SimClock clock(true);
  clock.advance_to(500);
  clock.advance_to(100);
  EXPECT_EQ(clock.now_ns(), 500);
  clock.advance_to(sim::add_saturating(sim::kTimeMax - 1, 10));
  EXPECT_EQ(clock.now_ns(), sim::kTimeMax);
  EXPECT_EQ(sim::add_saturating(sim::kTimeMax, sim::kTimeMax), sim::kTimeMax);
}

struct WaitCase {
  const char* name;
  sim::WaitCall call;
  std::array<std::uint64_t, 6> args;
  std::optional<std::int64_t> ns;  // nullopt: left to the kernel
  bool absolute;
};

void PrintTo(const WaitCase& c, std::ostream* os) {
  *os << c.name;
}

class WaitParseTest : public ::testing::TestWithParam<WaitCase> {};

// Addresses of the fake memory: 0x10 + 16 * n holds kWords[n].
constexpr std::array<std::pair<std::int64_t, std::int64_t>, 8> kWords = {{
    {1, 500'000'000},          // 0x10: a good timespec
    {0, 1'000'000'000},        // 0x20: nsec too large
    {-1, 0},                   // 0x30: negative
    {0, 2'500'000},            // 0x40: as a timeval: 2.5 s, normalized by the kernel
    {10'000'000'000, 0},       // 0x50: 10^10 s
    {0, 0},                    // 0x60: no signal mask
    {0x1000, 8},               // 0x70: a signal mask
    {INT64_MAX, 999'999'999},  // 0x80: the largest timespec
}};

TEST_P(WaitParseTest, Parses) {
  const WaitCase& c = GetParam();
  const sim::MemoryReader read = [](std::uint64_t addr, std::span<std::uint8_t> out) {
    const std::uint64_t index = (addr - 0x10) / 16;
    if (addr < 0x10 || addr % 16 != 0 || index >= kWords.size() || out.size() != 16) {
      return false;
    }
    const std::int64_t words[2] = {kWords[index].first, kWords[index].second};
    std::memcpy(out.data(), words, sizeof words);
    return true;
  };
  const auto wait = sim::parse_wait(c.call, c.args, read);
  ASSERT_EQ(wait.has_value(), c.ns.has_value());
  if (wait) {
    EXPECT_EQ(wait->ns, *c.ns);
    EXPECT_EQ(wait->absolute, c.absolute);
  }
}

using enum sim::WaitCall;

INSTANTIATE_TEST_SUITE_P(
    Calls, WaitParseTest,
    ::testing::Values(
        WaitCase{"Nanosleep", Nanosleep, {0x10, 0}, 1'500'000'000, false},
        WaitCase{"NanosleepBadNsec", Nanosleep, {0x20, 0}, std::nullopt, false},
        WaitCase{"NanosleepNegative", Nanosleep, {0x30, 0}, std::nullopt, false},
        WaitCase{"NanosleepNoMemory", Nanosleep, {0x18, 0}, std::nullopt, false},
        WaitCase{"NanosleepHuge", Nanosleep, {0x50, 0}, sim::kTimeMax, false},
        WaitCase{"NanosleepLargest", Nanosleep, {0x80, 0}, sim::kTimeMax, false},
        WaitCase{"ClockNanosleepAbsolute", ClockNanosleep, {1, 1, 0x10, 0}, 1'500'000'000, true},
        WaitCase{
            "ClockNanosleepOtherFlags", ClockNanosleep, {1, ~1ULL, 0x10, 0}, 1'500'000'000, false},
        WaitCase{"ClockNanosleepRaw", ClockNanosleep, {4, 0, 0x10, 0}, std::nullopt, false},
        WaitCase{"ClockNanosleepProcessCpu", ClockNanosleep, {2, 0, 0x10, 0}, std::nullopt, false},
        WaitCase{"ClockNanosleepUnknown", ClockNanosleep, {99, 0, 0x10, 0}, std::nullopt, false},
        WaitCase{"SelectNormalizesUsec", Select, {0, 0, 0, 0, 0x40, 0}, 2'500'000'000, false},
        WaitCase{"SelectNullSets", Select, {5, 0, 0, 0, 0x40, 0}, 2'500'000'000, false},
        WaitCase{
            "SelectWatchingDescriptors", Select, {5, 0x1000, 0, 0, 0x10, 0}, std::nullopt, false},
        WaitCase{"SelectNegativeNfds", Select, {~0ULL, 0, 0, 0, 0x10, 0}, std::nullopt, false},
        WaitCase{"SelectForever", Select, {0, 0, 0, 0, 0, 0}, std::nullopt, false},
        WaitCase{"Pselect6NoMask", Pselect6, {0, 0, 0, 0, 0x10, 0x60}, 1'500'000'000, false},
        WaitCase{"Pselect6WithMask", Pselect6, {0, 0, 0, 0, 0x10, 0x70}, std::nullopt, false},
        WaitCase{"Poll", Poll, {0, 0, 250, 0, 0, 0}, 250'000'000, false},
        WaitCase{"PollForever", Poll, {0, 0, ~0ULL, 0, 0, 0}, std::nullopt, false},
        WaitCase{"PollWatching", Poll, {0x1000, 1, 250, 0, 0, 0}, std::nullopt, false},
        WaitCase{"Ppoll", Ppoll, {0, 0, 0x10, 0, 8, 0}, 1'500'000'000, false},
        WaitCase{"PpollWithMask", Ppoll, {0, 0, 0x10, 0x1000, 8, 0}, std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Auxv, FindsTheVdsoEntry) {
  // argc 2, two arguments, one variable, then AT_PAGESZ, AT_SYSINFO_EHDR, AT_NULL.
  const std::vector<std::uint64_t> stack = {2, 0xa, 0xb, 0, 0xe, 0, 6, 4096, 33, 0x7fff0000, 0, 0};
  const sim::AuxvScan scan = sim::scan_auxv(stack);
  EXPECT_TRUE(scan.complete);
  EXPECT_EQ(scan.vdso_index, 8U);
  const sim::AuxvScan without = sim::scan_auxv(std::vector<std::uint64_t>{0, 0, 0, 6, 4096, 0, 0});
  EXPECT_TRUE(without.complete);
  EXPECT_FALSE(without.vdso_index.has_value());
  // Cut before its AT_NULL: not yet known.
  EXPECT_FALSE(sim::scan_auxv(std::span(stack).first(9)).complete);
}

TEST(RealTimeNet, EachLongHoldOnce) {
  sim::RealTimeNet net(500);
  net.after_write(0x10, 7, 1000);
  EXPECT_EQ(net.next_breach_at(), 1501);
  EXPECT_TRUE(net.breaches(1500).empty());
  const auto breaches = net.breaches(1501);
  ASSERT_EQ(breaches.size(), 1U);
  EXPECT_EQ(breaches[0].drawer, 1);
  EXPECT_EQ(breaches[0].actor, 7);
  EXPECT_TRUE(net.breaches(5000).empty());
  // Released and energized again: a new hold.
  net.after_write(0x00, 7, 6000);
  net.after_write(0x10, 7, 7000);
  EXPECT_EQ(net.breaches(7600).size(), 1U);
}

TEST(SignalMasks, WhatInterruptsASleep) {
  constexpr auto bit = [](int sig) { return std::uint64_t{1} << (sig - 1); };
  struct Row {
    std::uint64_t pending, blocked, ignored, caught;
    bool interrupts;
  };
  for (const Row& row :
       {Row{bit(SIGUSR1), 0, 0, bit(SIGUSR1), true}, Row{bit(SIGTERM), 0, 0, 0, true},
        Row{bit(SIGUSR1), bit(SIGUSR1), 0, bit(SIGUSR1), false},
        Row{bit(SIGTERM), 0, bit(SIGTERM), 0, false}, Row{bit(SIGCHLD), 0, 0, 0, false},
        Row{bit(SIGCHLD), 0, 0, bit(SIGCHLD), true}, Row{bit(SIGTSTP), 0, 0, 0, false}}) {
    EXPECT_EQ(sim::interrupts_sleep(row.pending, row.blocked, row.ignored, row.caught),
              row.interrupts)
        << row.pending;
  }
}

}  // namespace
}  // namespace cdbox::test
