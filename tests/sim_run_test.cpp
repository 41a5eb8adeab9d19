// SPDX-License-Identifier: MIT
// cdbox-sim as a command: time, exit statuses, signals and job control.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "tests/harness/sim_run.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

const TraceLine* find_line(const SimRun& run, const std::string& text, std::size_t nth = 0) {
  for (const TraceLine& line : run.trace) {
    if (line.text == text && nth-- == 0) {
      return &line;
    }
  }
  return nullptr;
}

TEST(VirtualTime, SleepsAdvanceTheClockExactly) {
  const SimRun run = run_sim({{"--virtual-time"},
                              {probe_path(), "iopl", "3", "outb", "0x482", "0x10", "usleep",
                               "300000", "outb", "0x482", "0", "nanosleep", "1500000"}});
  ASSERT_EQ(run.status, 0);
  const TraceLine* on = find_line(run, "out 0x482 0x10");
  const TraceLine* open = find_line(run, "drawer 1 open");
  const TraceLine* off = find_line(run, "out 0x482 0x00");
  ASSERT_TRUE(on && open && off);
  EXPECT_EQ(open->time_us - on->time_us, 50'000);
  EXPECT_EQ(off->time_us - on->time_us, 300'000);
  EXPECT_EQ(run.trace.back().time_us - off->time_us, 1'500'000);
}

TEST(VirtualTime, AbsoluteSleepCountsTheTimeLeft) {
  const SimRun run = run_sim({{"--virtual-time"}, {probe_path(), "abssleep", "300000"}});
  ASSERT_EQ(run.status, 0);
  ASSERT_GE(run.trace.size(), 2U);
  const TraceLine& sleep = run.trace[1];
  ASSERT_TRUE(sleep.text.starts_with("sleep 0.")) << sleep.text;
  const double seconds = std::stod(sleep.text.substr(6));
  EXPECT_GT(seconds, 0.250);
  EXPECT_LE(seconds, 0.300);
  EXPECT_EQ(run.trace.back().time_us - sleep.time_us, std::lround(seconds * 1e6));
}

TEST(RealTime, SleepsReallySleep) {
  const auto start = std::chrono::steady_clock::now();
  const SimRun run = run_sim({{}, {probe_path(), "usleep", "200000"}});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.events(), (Strings{"exec", "sleep 0.200000", "exit 0"}));
  EXPECT_GE(elapsed, std::chrono::milliseconds(200));
  EXPECT_GE(run.trace.back().time_us - run.trace[1].time_us, 200'000);
}

// In real time the controller's own changes are traced as they happen,
// while the program still sleeps, not at its next step.
TEST(RealTime, ControllerChangesAreTracedAsTheyHappen) {
  TempDir dir;
  const std::string trace = dir.file("trace");
  SimProcess process(sim_command_line({{"--max-hold", "1000"},
                                       {probe_path(), "iopl", "3", "outb", "0x482", "0x10",
                                        "usleep", "1500000", "outb", "0x482", "0"}},
                                      trace),
                     Terminal::Pipes);
  process.close_input();
  ASSERT_TRUE(wait_for_trace_line(trace, "violation drawer 1 solenoid energized").has_value());
  const std::string so_far = read_file(trace);
  EXPECT_NE(so_far.find(" drawer 1 open\n"), std::string::npos) << so_far;
  EXPECT_EQ(so_far.find(" out 0x482 0x00"), std::string::npos) << "traced only after the release:\n"
                                                               << so_far;
  EXPECT_EQ(process.wait_exit(), 70);
}

// A trace is read while the simulator writes it: a line not yet ended is
// not a line, and a wait that times out says what it saw.
TEST(Trace, WaitReadsOnlyWholeLines) {
  TempDir dir;
  const std::string trace = dir.file("trace");
  std::ofstream(trace) << "0.000000 42 exec /bin/true\n0.0000";
  const auto exec = wait_for_trace_line(trace, "exec ");
  ASSERT_TRUE(exec.has_value());
  EXPECT_EQ(exec->pid, 42);
  EXPECT_NONFATAL_FAILURE(
      EXPECT_FALSE(wait_for_trace_line(trace, "exit", std::chrono::milliseconds(20)).has_value()),
      "the trace had:\n0.000000 42 exec /bin/true\nand an unfinished line: '0.0000'");
}

TEST(Trace, ExitLineCarriesProcessFigures) {
  const SimRun run = run_sim({{"--virtual-time"}, {probe_path(), "writes", "1000"}});
  ASSERT_EQ(run.status, 0);
  unsigned long syscw = 0;
  unsigned long vmhwm = 0;
  ASSERT_EQ(
      std::sscanf(run.trace.back().text.c_str(), "exit 0 syscw %lu vmhwm_kb %lu", &syscw, &vmhwm),
      2)
      << run.trace.back().text;
  EXPECT_GE(syscw, 1000U);
  EXPECT_LT(syscw, 1100U);
  EXPECT_GT(vmhwm, 0U);
}

TEST(Trace, DashWritesToStandardError) {
  TempDir dir;
  SimProcess process(
      {sim_path(), "--virtual-time", "--trace", "-", "--", probe_path(), "iopl", "3"},
      Terminal::Pipes);
  process.close_input();
  ASSERT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.out(), "iopl = 0\n");
  EXPECT_NE(process.err().find(" iopl 3 = 0\n"), std::string::npos) << process.err();
}

TEST(Trace, NoTraceMeansNoExtraOutput) {
  SimProcess process({sim_path(), "--virtual-time", probe_path(), "iopl", "3"}, Terminal::Pipes);
  process.close_input();
  ASSERT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.out(), "iopl = 0\n");
  EXPECT_EQ(process.err(), "");
}

struct FailureCase {
  const char* name;
  Strings argv;  // after cdbox-sim
  int status;
  const char* message;  // standard error starts with this
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, ReportsOneLine) {
  const FailureCase& c = GetParam();
  TempDir dir;
  {
    std::ofstream(dir.file("plain")) << "not a program\n";
    std::ofstream(dir.file("garbage")) << "\x7f"
                                          "ELF garbage";
    chmod(dir.file("garbage").c_str(), 0755);
  }
  Strings argv = {sim_path()};
  for (std::string arg : c.argv) {
    if (arg.starts_with("DIR/")) {
      arg = dir.file(arg.substr(4));
    }
    argv.push_back(arg);
  }
  SimProcess process(argv, Terminal::Pipes);
  process.close_input();
  ASSERT_EQ(process.wait_exit(), c.status);
  EXPECT_TRUE(process.err().starts_with(c.message)) << process.err();
  EXPECT_EQ(std::count(process.err().begin(), process.err().end(), '\n'), 1) << process.err();
  EXPECT_EQ(process.out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTest,
    ::testing::Values(
        FailureCase{"UnknownOption",
                    {"--frobnicate", "true"},
                    125,
                    "cdbox-sim: unrecognized option '--frobnicate'"},
        FailureCase{"MissingArgument",
                    {"--status"},
                    125,
                    "cdbox-sim: missing argument for option '--status'"},
        FailureCase{"StatusNotAByte",
                    {"--status", "0x100", "true"},
                    125,
                    "cdbox-sim: --status: invalid value '0x100'"},
        FailureCase{"NegativeDelay",
                    {"--open-after", "-5", "true"},
                    125,
                    "cdbox-sim: --open-after: invalid value '-5'"},
        FailureCase{"UnknownErrno",
                    {"--refuse-iopl=EWHAT", "true"},
                    125,
                    "cdbox-sim: --refuse-iopl: invalid value"},
        FailureCase{"ErrnoZero",
                    {"--refuse-iopl=0", "true"},
                    125,
                    "cdbox-sim: --refuse-iopl: invalid value '0'"},
        FailureCase{"ErrnoPastTheKernelRange",
                    {"--refuse-ioperm=4096", "true"},
                    125,
                    "cdbox-sim: --refuse-ioperm: invalid value '4096'"},
        FailureCase{"DevportErrnoUnknown",
                    {"--refuse-devport=EWHAT", "true"},
                    125,
                    "cdbox-sim: --refuse-devport: invalid value 'EWHAT'"},
        FailureCase{"ErrnoWithoutAName",
                    {"--refuse-iopl=1000", "true"},
                    125,
                    "cdbox-sim: --refuse-iopl: invalid value '1000'"},
        FailureCase{"UnknownSignal",
                    {"--signal-on-pulse", "SIGWHAT", "true"},
                    125,
                    "cdbox-sim: --signal-on-pulse"},
        FailureCase{"NoProgram", {"--virtual-time"}, 125, "cdbox-sim: no program to run"},
        FailureCase{"TraceUnwritable",
                    {"--trace", "/nonexistent/dir/t", "true"},
                    125,
                    "cdbox-sim: cannot write trace"},
        FailureCase{"NotExecutable", {"DIR/plain"}, 126, "cdbox-sim: cannot run '"},
        FailureCase{"Directory", {"/"}, 126, "cdbox-sim: cannot run '/': Is a directory"},
        FailureCase{"BadExecutable", {"DIR/garbage"}, 126, "cdbox-sim: cannot run '"},
        FailureCase{"NoSuchPath", {"DIR/missing"}, 127, "cdbox-sim: cannot run '"},
        FailureCase{"NoSuchCommand",
                    {"cdbox-no-such-command"},
                    127,
                    "cdbox-sim: cdbox-no-such-command: command not found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, HelpAndVersion) {
  struct Row {
    const char* option;
    std::string out_starts_with;
    std::string out_ends_with;
  };
  for (const Row& row : {Row{"--help", "Usage: cdbox-sim [OPTION]... [--] PROGRAM [ARG]...\n",
                             "\n\nReport bugs to: maintainers@cdbox.example.org\n"},
                         Row{"--version",
                             "cdbox-sim (cdbox) " CDBOX_PROJECT_VERSION
                             "\nCopyright (C) 2026 The cdbox developers\n",
                             "\nLicense MIT: <https://spdx.org/licenses/MIT.html>.\n"
                             "This is free software: you are free to change and redistribute it.\n"
                             "There is NO WARRANTY, to the extent permitted by law.\n"}}) {
    SimProcess process({sim_path(), row.option}, Terminal::Pipes);
    process.close_input();
    ASSERT_EQ(process.wait_exit(), 0) << row.option;
    EXPECT_TRUE(process.out().starts_with(row.out_starts_with)) << process.out();
    EXPECT_TRUE(process.out().ends_with(row.out_ends_with)) << process.out();
    EXPECT_EQ(process.err(), "");
  }
}

// As GNU tools do, --help and --version fail when their text is lost.
TEST(Options, HelpAndVersionReportWriteErrors) {
  struct Row {
    const char* redirect;
    int error;
  };
  for (const char* option : {"--help", "--version"}) {
    for (const Row& row : {Row{">/dev/full", ENOSPC}, Row{">&-", EBADF}}) {
      const std::string script = std::string("exec \"$0\" \"$1\" ") + row.redirect;
      SimProcess process({"/bin/sh", "-c", script, sim_path(), option}, Terminal::Pipes);
      process.close_input();
      EXPECT_EQ(process.wait_exit(), 1) << option << " " << row.redirect;
      EXPECT_EQ(process.err(),
                std::string("cdbox-sim: write error: ") + std::strerror(row.error) + "\n")
          << option << " " << row.redirect;
    }
  }
}

TEST(Options, ProgramOptionsAreLeftAlone) {
  const SimRun run = run_sim({{"--virtual-time"}, {"/bin/echo", "--help", "--trace"}});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "--help --trace\n");
}

// The pid of a probe that printed "pid = N".
pid_t wait_for_pid(SimProcess& process) {
  const bool seen =
      process.wait_for([](const std::string& out) { return out.find('\n') != std::string::npos; });
  return seen ? static_cast<pid_t>(std::stol(process.out().substr(6))) : -1;
}

TEST(Signals, TermAndHangupAreForwardedToTheProgram) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string trace = dir.file("trace");
    SimProcess process(sim_command_line({{}, {probe_path(), "pid", "usleep", "20000000"}}, trace),
                       Terminal::Pipes);
    const pid_t pid = wait_for_pid(process);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_until_sleeping(pid));
    kill(process.pid(), sig);
    EXPECT_EQ(process.wait_exit(), 128 + sig) << sig;
    const Strings expected = {"exec", "sleep 20.000000",
                              "signal " + std::string("SIG") + sigabbrev_np(sig),
                              "killed " + std::string("SIG") + sigabbrev_np(sig)};
    SimRun run;
    run.trace = parse_trace(read_file(trace));
    EXPECT_EQ(run.events(), expected);
  }
}

TEST(Signals, InterruptIsLeftToTheProgram) {
  SimProcess process({sim_path(), probe_path(), "pid", "usleep", "300000"}, Terminal::Pipes);
  const pid_t pid = wait_for_pid(process);
  ASSERT_GT(pid, 0);
  kill(process.pid(), SIGINT);
  kill(process.pid(), SIGQUIT);
  EXPECT_EQ(process.wait_exit(), 0);
}

TEST(JobControl, StoppedProgramStaysStoppedUntilContinued) {
  SimProcess process(
      {sim_path(), "--virtual-time", "--", probe_path(), "pid", "raise", "20", "exit", "6"},
      Terminal::Pipes);
  const pid_t pid = wait_for_pid(process);
  ASSERT_GT(pid, 0);
  // Stopped, and still so once the simulator has handled the stop and gone
  // back to waiting: it did not let the program run on.
  ASSERT_TRUE(wait_until_left_stopped(process.pid(), pid)) << process.out();
  kill(pid, SIGCONT);
  EXPECT_EQ(process.wait_exit(), 6);
}

}  // namespace
}  // namespace cdbox::test
