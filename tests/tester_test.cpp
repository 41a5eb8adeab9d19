// SPDX-License-Identifier: MIT
// cdbox-test end to end, always under cdbox-sim: whole screens byte for byte,
// the port traffic from the trace, standard error and the exit status.
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "drawer/regmap.h"
#include "tests/harness/platform.h"
#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

// Checks the port traffic of a session that pulsed for pulse_keys: per pass
// one status read then the access request; per pulse the command, a full
// 300 ms hold and the rest value; nothing on any other port.
void expect_port_traffic(const SimRun& run, const std::string& pulse_keys) {
  Strings traffic;
  std::int64_t command_at = -1;
  for (const TraceLine& line : run.trace) {
    const std::string& text = line.text;
    EXPECT_FALSE(text.starts_with("violation")) << text;
    if (text.starts_with("out ")) {
      EXPECT_TRUE(text.starts_with("out 0x482 ")) << text;
      if (text != "out 0x482 0x00") {
        command_at = line.time_us;
      } else if (command_at >= 0) {
        EXPECT_EQ(line.time_us - command_at, 300'000) << "hold of the pulse before line " << text;
      }
    }
    if (text.starts_with("out ") || text.starts_with("in ") || text.starts_with("ioperm ") ||
        text.starts_with("sleep ")) {
      traffic.push_back(text.starts_with("in ") ? "in" : text);
    }
  }
  Strings expected;
  for (char key : pulse_keys) {
    expected.insert(expected.end(),
                    {"in", "ioperm 0x482 3 1 = 0", "out 0x482 " + hex_byte(command_of(key)),
                     "sleep 0.300000", "out 0x482 0x00"});
  }
  expected.insert(expected.end(), {"in", "ioperm 0x482 3 1 = 0"});
  EXPECT_EQ(traffic, expected);
}

struct SessionCase {
  const char* name;
  std::string input;
  std::uint8_t base;       // status register base value
  std::string pulse_keys;  // the pulses the input must give, in order
};

void PrintTo(const SessionCase& c, std::ostream* os) {
  *os << c.name;
}

class SessionTest : public ::testing::TestWithParam<SessionCase> {};

SimRun run_tester(const std::string& input, std::uint8_t base, Strings extra = {},
                  Terminal terminal = Terminal::Pipes) {
  Strings options = {"--virtual-time", "--status", hex_byte(base)};
  options.insert(options.end(), extra.begin(), extra.end());
  return run_sim({options, {tester_path()}, input, std::nullopt, terminal});
}

TEST_P(SessionTest, ThroughPipes) {
  const SessionCase& c = GetParam();
  const SimRun run = run_tester(c.input, c.base);
  ASSERT_TRUE(run.status.has_value()) << "timed out";
  EXPECT_EQ(*run.status, 0) << run.err;
  EXPECT_EQ(run.out, expected_session(c.base, c.pulse_keys));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.writes_to("0x482"), expected_writes(c.pulse_keys));
  expect_port_traffic(run, c.pulse_keys);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SessionTest,
    ::testing::Values(SessionCase{"One", "1\n", 0x00, "1"}, SessionCase{"Two", "2\n", 0x00, "2"},
                      SessionCase{"Three", "3\n", 0x00, "3"},
                      SessionCase{"OneThreeOnOneLine", "13\n", 0x00, "13"},
                      SessionCase{"OneThenExit", "10\n", 0x00, "1"},
                      SessionCase{"ExitKey", "0\n", 0x00, ""},
                      SessionCase{"OtherKeyX", "x\n", 0x00, ""},
                      SessionCase{"OtherKeyA", "a\n", 0x00, ""},
                      SessionCase{"KeysAfterExitAreNotRead", "0123\n", 0x00, ""},
                      SessionCase{"WhiteSpaceBeforeKeys", "\n\n  \t 1\n\t\t2 \n", 0x00, "12"},
                      SessionCase{"EveryWhiteSpace", " \t\n\v\f\r3", 0x00, "3"},
                      SessionCase{"EndOfInputEndsAsExit", "", 0x00, ""},
                      SessionCase{"EndOfInputAfterPulse", "1", 0x00, "1"},
                      SessionCase{"EndOfInputAfterWhiteSpace", "1 \n\n\t", 0x00, "1"},
                      SessionCase{"NulIsAnOtherKey",
                                  std::string("\0"
                                              "1",
                                              2),
                                  0x00, ""},
                      SessionCase{"HighByteIsAnOtherKey",
                                  "\xa0"
                                  "1",
                                  0x00, ""},
                      SessionCase{"EveryPulseKeyAgain", "123321\n", 0x00, "123321"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(StatusBytes, SessionTest,
                         ::testing::Values(SessionCase{"Status00", "0", 0x00, ""},
                                           SessionCase{"Status04", "0", 0x04, ""},
                                           SessionCase{"Status08", "0", 0x08, ""},
                                           SessionCase{"Status0c", "0", 0x0c, ""},
                                           SessionCase{"StatusFf", "0", 0xff, ""},
                                           SessionCase{"Status0cPulse", "1", 0x0c, "1"},
                                           SessionCase{"Status41Pulse", "21", 0x41, "21"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Screen, StatusBlockFollowsTheSensorBits) {
  // The block as the operator reads it, spelt out for the all-ones status
  // an absent controller gives.
  const SimRun run = run_tester("0", 0xff);
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(
      run.out.find("original value of port 0xff\n\n\tCash Drawer 1 Status :1, Open or not exist "
                   "\n\tCash Drawer 2 Status : 1, Open or not exist \nExit now!!\n"),
      std::string::npos);
}

TEST(Screen, DrawerShownOpenAfterItsPulseAndClosedAgainLater) {
  const SimRun run = run_tester("11", 0x00, {"--close-after", "100"});
  ASSERT_EQ(run.status, 0);
  // The drawer opened during each pulse and shut 100 ms later, before the
  // pulse ended: every screen shows it closed.
  EXPECT_EQ(run.out, expected_screen(0) + expected_pulse('1') + expected_screen(0) +
                         expected_pulse('1') + expected_screen(0) + kExitText);
}

TEST(Input, ReadErrorIsReportedOnce) {
  TempDir dir;
  const SimRun run =
      run_sim({{"--virtual-time"}, {tester_path()}, "", std::string("/"), Terminal::Pipes});
  ASSERT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_screen(0));
  EXPECT_EQ(run.err, "key read error: Is a directory\n");
  EXPECT_TRUE(run.writes_to("0x482").empty());
}

TEST(Input, ArgumentsAreIgnored) {
  const SimRun run = run_sim({{"--virtual-time"}, {tester_path(), "--help", "1"}, "0"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_session(0, ""));
}

// A screen goes out in one write and each pulse line in one more.
TEST(Output, OneWritePerScreenAndPerPulseLine) {
  for (const std::string keys : {"", "1", "1231"}) {
    const SimRun run = run_tester(keys, 0x00);
    ASSERT_EQ(run.status, 0);
    unsigned long syscw = 0;
    ASSERT_EQ(std::sscanf(run.trace.back().text.c_str(), "exit 0 syscw %lu", &syscw), 1);
    // Screens, three lines per pulse (the echo goes with the first), and
    // the exit text.
    EXPECT_EQ(syscw, (keys.size() + 1) + 3 * keys.size() + 1) << "keys '" << keys << "'";
  }
}

// True when the ELF file at path names a program interpreter, so that
// LD_PRELOAD reaches it.
bool is_dynamically_linked(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  Elf64_Ehdr header{};
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) {
    return false;
  }
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment{};
    file.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof segment));
    if (file.read(reinterpret_cast<char*>(&segment), sizeof segment) &&
        segment.p_type == PT_INTERP) {
      return true;
    }
  }
  return false;
}

TEST(Output, NoHeapAllocation) {
  if (!is_dynamically_linked(tester_path())) {
    GTEST_SKIP() << "the heap alarm preloads only into a dynamically linked tester";
  }
  if (CDBOX_SANITIZED) {
    GTEST_SKIP() << "the sanitizers' runtime must be the first library loaded and allocates itself";
  }
  struct Row {
    const char* name;
    Strings options;
    Strings launcher;
    int status;
    std::string out;
    std::string err;  // the whole of it, or its start when it ends in "hint: "
  };
  const Row rows[] = {
      {"session", {}, {}, 0, expected_session(0, "123"), ""},
      {"refusal with a hint",
       {"--refuse-iopl=ENOSYS"},
       {},
       1,
       "",
       "iopl set error\n: Function not implemented\ncdbox-test: hint: the kernel was built without "
       "CONFIG_X86_IOPL_IOPERM; check with: grep CONFIG_X86_IOPL_IOPERM /boot/config-$(uname "
       "-r)\n"},
      // The hint that fits the tests' uid; as root the lockdown file is read.
      {"EPERM refusal",
       {"--refuse-iopl=EPERM"},
       {},
       1,
       "",
       "iopl set error\n: Operation not permitted\ncdbox-test: hint: "},
      {"write error",
       {},
       {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"},
       1,
       "",
       "cdbox-test: write error: No space left on device\n"},
  };
  for (const Row& row : rows) {
    Strings options = {"--virtual-time"};
    options.insert(options.end(), row.options.begin(), row.options.end());
    SimCommand command{
        options, {"/usr/bin/env", "LD_PRELOAD=" CDBOX_HEAP_ALARM_PATH, tester_path()}, "123x"};
    command.launcher = row.launcher;
    const SimRun run = run_sim(command);
    ASSERT_EQ(run.status, row.status) << row.name << "\n" << run.err;
    EXPECT_EQ(run.out, row.out) << row.name;
    EXPECT_EQ(run.err.find("heap-alarm"), std::string::npos) << row.name << "\n" << run.err;
    if (row.err.ends_with("hint: ")) {
      EXPECT_TRUE(run.err.starts_with(row.err)) << row.name << "\n" << run.err;
    } else {
      EXPECT_EQ(run.err, row.err) << row.name;
    }
  }
}

TEST(Pty, CanonicalModeWaitsForEnter) {
  CDBOX_SKIP_UNLESS(Feature::PseudoTerminal);
  TempDir dir;
  const std::string trace = dir.file("trace");
  SimProcess process(sim_command_line({{"--virtual-time"}, {tester_path()}}, trace), Terminal::Pty);
  const std::string first = expected_screen(0);
  ASSERT_TRUE(process.wait_for([&](const std::string& out) { return out.size() >= first.size(); }));
  const auto exec = wait_for_trace_line(trace, "exec ");
  ASSERT_TRUE(exec.has_value());
  ASSERT_TRUE(wait_until_sleeping(exec->pid));
  const SchedulingState waiting = scheduling_state(exec->pid);
  process.send("13");
  // Without Enter the terminal holds the keys back: no line to read, the
  // tester never woke, and no pulse began.
  EXPECT_FALSE(process.terminal_input_ready());
  const SchedulingState still = scheduling_state(exec->pid);
  EXPECT_EQ(still.state, 'S');
  EXPECT_EQ(still.voluntary_switches, waiting.voluntary_switches);
  process.poll_now();
  EXPECT_EQ(process.out(), first);
  process.send("\n");
  const std::uint8_t one = sensor_bits_of(command_of('1'));
  const std::uint8_t both = one | sensor_bits_of(command_of('3'));
  const std::string after = first + expected_pulse('1') + expected_screen(one) +
                            expected_pulse('3') + expected_screen(both);
  ASSERT_TRUE(process.wait_for([&](const std::string& out) { return out.size() >= after.size(); }));
  EXPECT_EQ(process.out(), after);
  process.send("0\n");
  ASSERT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.out(), after + kExitText);
  EXPECT_EQ(process.err(), "");
}

TEST(Pty, SessionMatchesPipes) {
  CDBOX_SKIP_UNLESS(Feature::PseudoTerminal);
  const SimRun run = run_tester("1\n2\n0\n", 0x00, {}, Terminal::Pty);
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_session(0, "12"));
  expect_port_traffic(run, "12");
}

TEST(Pulse, CommandValuesBeyondAByte) {
  struct Row {
    const char* value;
    unsigned printed;
    const char* port_byte;
  };
  for (const Row& row :
       {Row{"0x10", 0x10, "0x10"}, Row{"0", 0, "0x00"}, Row{"0x1234", 0x1234, "0x34"},
        Row{"0x100", 0x100, "0x00"}, Row{"-1", 0xffffffff, "0xff"}}) {
    const SimRun run = run_sim({{"--virtual-time"}, {CDBOX_PULSE_PROBE_PATH, row.value}});
    ASSERT_TRUE(run.status.has_value());
    // 0xff energizes both solenoids and opens both drawers; that is the
    // controller's business, not a fault of the pulse.
    EXPECT_EQ(*run.status, 0) << row.value << "\n" << run.err;
    EXPECT_EQ(run.out, expected_pulse_log(row.printed)) << row.value;
    EXPECT_EQ(run.writes_to("0x482"), (Strings{row.port_byte, "0x00"})) << row.value;
  }
}

}  // namespace
}  // namespace cdbox::test
