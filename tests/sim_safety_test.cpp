// SPDX-License-Identifier: MIT
// What keeps a program under cdbox-sim from the real hardware even when it
// tries: the kernel-enforced boundary, the tracer's own robustness, and a
// trace that stays true. Each case is a small attack by the probe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
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

// Port instructions among SIGSEGVs that are none (sent by raise and by
// tkill, the latter with an IN at the instruction pointer, and raised by
// the CPU for a CLI) and trapped calls: each IN is emulated once, with its
// value, and every other SIGSEGV reaches the program's handler, in a lone
// task (whose faults the tracer follows straight from SIGCHLD) as in one
// of two threads.
TEST(Dispatch, PortFaultsAmongOtherSegvs) {
  struct Row {
    const char* name;
    Strings options;
    Strings first_steps;
  };
  const Row rows[] = {
      {"real time", {"--absent"}, {}},
      {"virtual time", {"--absent", "--virtual-time"}, {}},
      {"second thread", {"--absent"}, {"thread"}},
  };
  constexpr int kRounds = 300;
  for (const Row& row : rows) {
    Strings program = {probe_path()};
    program.insert(program.end(), row.first_steps.begin(), row.first_steps.end());
    program.insert(program.end(), {"iopl", "3", "segvmix", std::to_string(kRounds), "0x482"});
    const SimRun run = run_sim({row.options, program});
    ASSERT_EQ(run.status, 0) << row.name << ": " << run.err;
    EXPECT_EQ(run.out, "iopl = 0\nsegvmix sent = " + std::to_string(2 * kRounds) +
                           " raised = " + std::to_string(kRounds) +
                           " sum = " + std::to_string(2 * 0xff * kRounds) + "\n")
        << row.name;
    const Strings events = run.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "in 0x482 = 0xff"), 2 * kRounds) << row.name;
    EXPECT_EQ(std::count(events.begin(), events.end(), "iopl 3 = 0"), kRounds + 1) << row.name;
  }
}

// An executable its user may run but not read: the kernel lets nobody but
// a tracer with CAP_SYS_PTRACE read its code, so the simulator cannot see
// the instruction that faulted. The program is killed with a violation that
// says why, rather than going on or getting a bare SIGSEGV.
TEST(UnreadableCode, IsAViolationThatSaysWhy) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv(1) to run cdbox-sim as an ordinary user";
  }
  TempDir dir;
  chmod(dir.file("").c_str(), 0777);
  const std::string program = dir.file("unreadable");
  {
    std::ofstream copy(program, std::ios::binary);
    copy << read_file(probe_path());
  }
  ASSERT_EQ(chmod(program.c_str(), 0711), 0);
  const std::string trace = dir.file("trace");
  SimProcess process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                      copy_for_any_user(dir, sim_path()), "--virtual-time", "--trace", trace, "--",
                      program, "iopl", "3", "inb", "0x482"},
                     Terminal::Pipes);
  process.close_input();
  ASSERT_EQ(process.wait_exit(), 70) << process.err();
  const SimRun run{70, process.out(), process.err(), parse_trace(read_file(trace))};
  ASSERT_EQ(run.trace.size(), 4U) << read_file(trace);
  EXPECT_EQ(run.trace[1].text, "iopl 3 = 0");
  EXPECT_TRUE(run.trace[2].text.starts_with("violation cannot read the instruction at 0x"))
      << run.trace[2].text;
  EXPECT_NE(run.trace[2].text.find("not readable"), std::string::npos) << run.trace[2].text;
  EXPECT_EQ(run.trace[3].event(), "killed SIGKILL");
}

std::string name_of(int sig) {
  if (sig >= SIGRTMIN) {
    return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  }
  return std::string("SIG") + sigabbrev_np(sig);
}

// The pid printed by the nth "pid = N" line of a probe.
pid_t wait_for_nth_pid(SimProcess& process, std::size_t nth) {
  const auto count_lines = [](const std::string& out) {
    return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
  };
  if (!process.wait_for([&](const std::string& out) { return count_lines(out) >= nth; })) {
    return -1;
  }
  std::size_t at = 0;
  for (std::size_t line = 1; line < nth; ++line) {
    at = process.out().find('\n', at) + 1;
  }
  return static_cast<pid_t>(std::stol(process.out().substr(at + 6)));
}

bool has_event(const SimRun& run, const std::string& event) {
  const Strings events = run.events();
  return std::find(events.begin(), events.end(), event) != events.end();
}

// kill(0, sig) reaches the program once, as without the simulator, which
// neither dies of it nor passes it on again.
class GroupSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(GroupSignalTest, ReachesTheProgramOnce) {
  const int sig = GetParam();
  const SimRun run = run_sim({{}, {probe_path(), "groupsignal", std::to_string(sig)}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "groupsignal = 1\n");
  EXPECT_EQ(run.events(), (Strings{"exec", "sleep 0.200000", "exit 0"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, GroupSignalTest,
                         ::testing::Values(SIGUSR1, SIGTERM, SIGHUP, SIGALRM, SIGRTMIN + 1),
                         [](const auto& info) { return std::to_string(info.param); });

// A signal to cdbox-sim while the tester holds a drawer's solenoid: the
// simulator lives on; a forwarded one reaches the tester, which ends only
// once the pulse is over; an ignored one changes nothing.
struct MidPulseCase {
  int sig;
  bool forwarded;
};

class SimulatorSignalTest : public ::testing::TestWithParam<MidPulseCase> {};

TEST_P(SimulatorSignalTest, SimulatorOutlivesThePulse) {
  const MidPulseCase& c = GetParam();
  TempDir dir;
  const std::string trace = dir.file("trace");
  SimProcess process(sim_command_line({{}, {tester_path()}}, trace), Terminal::Pipes);
  process.send("1\n");
  ASSERT_TRUE(wait_for_trace_line(trace, "out 0x482 0x10").has_value());
  kill(process.pid(), c.sig);
  if (!c.forwarded) {
    ASSERT_TRUE(wait_for_trace_line(trace, "out 0x482 0x00").has_value());
    process.close_input();
  }
  const auto status = process.wait_exit();
  const SimRun run{status, process.out(), process.err(), parse_trace(read_file(trace))};
  EXPECT_EQ(run.status, c.forwarded ? 128 + c.sig : 0) << run.err;
  EXPECT_EQ(run.writes_to("0x482"), (Strings{"0x10", "0x00"}));
  EXPECT_EQ(has_event(run, "signal " + name_of(c.sig)), c.forwarded);
  ASSERT_FALSE(run.trace.empty());
  EXPECT_EQ(run.trace.back().event(), c.forwarded ? "killed " + name_of(c.sig) : "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Signals, SimulatorSignalTest,
                         ::testing::Values(MidPulseCase{SIGUSR1, true}, MidPulseCase{SIGUSR2, true},
                                           MidPulseCase{SIGALRM, true},
                                           MidPulseCase{SIGRTMIN + 3, true},
                                           MidPulseCase{SIGPIPE, false},
                                           MidPulseCase{SIGSEGV, false},
                                           MidPulseCase{SIGXFSZ, false}),
                         [](const auto& info) { return std::to_string(info.param.sig); });

// The main program has ended and left a daemon behind: SIGTERM, SIGHUP or
// SIGINT to cdbox-sim ends the daemon and then cdbox-sim.
class LeftBehindTest : public ::testing::TestWithParam<int> {};

TEST_P(LeftBehindTest, SignalEndsTheDaemonAndTheSimulator) {
  const int sig = GetParam();
  TempDir dir;
  const std::string trace = dir.file("trace");
  SimProcess process(
      sim_command_line({{}, {probe_path(), "pid", "daemon", "pid", "usleep", "60000000"}}, trace),
      Terminal::Pipes);
  const pid_t main = wait_for_nth_pid(process, 1);
  const pid_t daemon = wait_for_nth_pid(process, 2);
  ASSERT_GT(main, 0);
  ASSERT_GT(daemon, 0);
  // Reaped: the simulator knows the main program has ended.
  ASSERT_TRUE(wait_until([main] { return process_state(main) == '?'; }));
  kill(process.pid(), sig);
  const auto status = process.wait_exit(std::chrono::seconds(20));
  EXPECT_EQ(status, 0);
  const SimRun run{status, "", process.err(), parse_trace(read_file(trace))};
  ASSERT_FALSE(run.trace.empty());
  EXPECT_EQ(run.trace.back().pid, daemon);
  EXPECT_EQ(run.trace.back().event(), "killed SIGKILL");
  EXPECT_TRUE(has_event(run, "signal SIGKILL"));
}

INSTANTIATE_TEST_SUITE_P(Signals, LeftBehindTest, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// A program killed at any moment, while it forks too, never leaves the
// simulator waiting for a child that cannot run.
TEST(NeverHangs, KillDuringForkInALoop) {
  for (int round = 0; round < 50; ++round) {
    SimProcess process({sim_path(), "--", probe_path(), "pid", "forkloop"}, Terminal::Pipes);
    const pid_t pid = wait_for_nth_pid(process, 1);
    ASSERT_GT(pid, 0);
    // Let it fork a varying while before the kill lands.
    for (int spin = 0; spin < round * 1000; ++spin) {
      sched_yield();
    }
    kill(pid, SIGKILL);
    ASSERT_EQ(process.wait_exit(std::chrono::seconds(20)), 128 + SIGKILL) << "round " << round;
  }
}

// A trace that cannot be written stops; the program runs to its end and
// cdbox-sim then says why, with status 74.
TEST(TraceFailure, FullDeviceIsReported) {
  SimProcess process(
      {sim_path(), "--virtual-time", "--trace", "/dev/full", "--", probe_path(), "iopl", "3"},
      Terminal::Pipes);
  process.close_input();
  ASSERT_EQ(process.wait_exit(), 74);
  EXPECT_EQ(process.out(), "iopl = 0\n");
  EXPECT_TRUE(process.err().starts_with("cdbox-sim: trace: No space left on device"))
      << process.err();
}

TEST(TraceFailure, ReaderThatGoesAwayStopsOnlyTheTrace) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  SimProcess process({sim_path(), "--virtual-time", "--trace", fifo, "--", probe_path(), "read",
                      "iopl", "3", "outb", "0x482", "0"},
                     Terminal::Pipes);
  std::string first;
  ASSERT_TRUE(wait_until([&] {
    char buffer[256];
    const ssize_t n = read(reader, buffer, sizeof buffer);
    if (n > 0) {
      first.append(buffer, static_cast<std::size_t>(n));
    }
    return first.find('\n') != std::string::npos;
  }));
  EXPECT_NE(first.find(" exec "), std::string::npos) << first;
  close(reader);
  process.send("\n");
  process.close_input();
  ASSERT_EQ(process.wait_exit(), 74);
  EXPECT_EQ(process.out(), "iopl = 0\n");
  EXPECT_TRUE(process.err().starts_with("cdbox-sim: trace: Broken pipe")) << process.err();
}

}  // namespace
}  // namespace cdbox::test
