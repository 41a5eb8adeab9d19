// SPDX-License-Identifier: MIT
// Standard output that cannot be written, under cdbox-sim: the tester ends
// with status 1 and says so, or dies of the signal the write raised, and in
// every case only once a pulse it began is released.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

// Checks that the trace holds one whole pulse per key of pulse_keys, each
// command held 300 ms and followed by the rest value, and that the tester
// drew no screen beyond the given number: it stops at the first write
// error, not at the next screen.
void expect_pulses_released(const SimRun& run, const std::string& pulse_keys, int screens) {
  Strings expected;
  for (char key : pulse_keys) {
    expected.insert(expected.end(), {hex_byte(command_of(key)), "0x00"});
  }
  EXPECT_EQ(run.writes_to("0x482"), expected);
  std::int64_t command_at = -1;
  int status_reads = 0;
  for (const TraceLine& line : run.trace) {
    EXPECT_FALSE(line.text.starts_with("violation")) << line.text;
    status_reads += line.text.starts_with("in 0x482 ") ? 1 : 0;
    if (line.text.starts_with("out ") && line.text != "out 0x482 0x00") {
      command_at = line.time_us;
    } else if (line.text == "out 0x482 0x00") {
      EXPECT_EQ(line.time_us - command_at, 300'000);
    }
  }
  EXPECT_EQ(status_reads, screens);
}

// Runs the rest with standard output redirected to $1.
Strings output_to(const std::string& path) {
  return {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\"", "sh", path};
}

TEST(WriteError, FullDeviceFailsAtTheFirstScreenWithoutAPulse) {
  SimCommand command{{"--virtual-time"}, {tester_path()}, "1\n"};
  command.launcher = output_to("/dev/full");
  const SimRun run = run_sim(command);
  ASSERT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.err, "cdbox-test: write error: No space left on device\n");
  EXPECT_EQ(run.events(),
            (Strings{"exec", "iopl 3 = 0", "in 0x482 = 0x00", "ioperm 0x482 3 1 = 0", "exit 1"}));
}

// Where in a session of one pulse the output file reaches its size limit.
enum class Cut { InFirstScreen, AtEchoLine, AtCommandLog, AtReleaseLog, AtNextScreen, AtExitText };

struct FileLimitCase {
  const char* name;
  Cut cut;
  bool ignore_sigxfsz;  // the write fails with EFBIG instead of raising SIGXFSZ
  int status;
  std::string err;
  std::string pulse_keys;  // the pulses that must have run, released
  int screens;             // the screens drawn, or begun
};

void PrintTo(const FileLimitCase& c, std::ostream* os) {
  *os << c.name;
}

std::size_t cut_offset(Cut cut) {
  const std::size_t first = expected_screen(0).size();
  const std::size_t pulse = expected_pulse('1').size();
  const std::string log = expected_pulse_log(command_of('1'));
  // The echo line and the start line go out in one write, before the
  // command is written; each log line after it in one more.
  const std::size_t echo_and_start = pulse - log.size() + log.find('\n') + 1;
  const std::size_t command_log_end = pulse - log.size() + log.find('\n', log.find('\n') + 1) + 1;
  switch (cut) {
    case Cut::InFirstScreen:
      return first / 2;
    case Cut::AtEchoLine:
      return first;
    case Cut::AtCommandLog:
      return first + echo_and_start;
    case Cut::AtReleaseLog:
      return first + command_log_end;
    case Cut::AtNextScreen:
      return first + pulse;
    case Cut::AtExitText:
      return first + pulse + expected_screen(sensor_bits_of(command_of('1'))).size();
  }
  return 0;
}

class FileLimitTest : public ::testing::TestWithParam<FileLimitCase> {};

TEST_P(FileLimitTest, EndsOnlyOnceThePulseIsReleased) {
  const FileLimitCase& c = GetParam();
  TempDir dir;
  const std::string out_path = dir.file("out");
  const std::size_t limit = cut_offset(c.cut);
  Strings program = {"/usr/bin/prlimit", "--fsize=" + std::to_string(limit)};
  if (c.ignore_sigxfsz) {
    program.insert(program.end(), {"/usr/bin/env", "--ignore-signal=XFSZ"});
  }
  program.push_back(tester_path());
  SimCommand command{{"--virtual-time"}, program, "1\n"};
  command.launcher = output_to(out_path);
  const SimRun run = run_sim(command);
  ASSERT_EQ(run.status, c.status) << run.err;
  EXPECT_EQ(run.err, c.err);
  EXPECT_EQ(read_file(out_path), expected_session(0, "1").substr(0, limit));
  expect_pulses_released(run, c.pulse_keys, c.screens);
}

const std::string kTooLarge = "cdbox-test: write error: File too large\n";
const int kKilledBySigxfsz = 128 + SIGXFSZ;

INSTANTIATE_TEST_SUITE_P(
    Cuts, FileLimitTest,
    ::testing::Values(
        FileLimitCase{"InFirstScreen", Cut::InFirstScreen, true, 1, kTooLarge, "", 1},
        // A pulse, once its key is taken, runs to its end.
        FileLimitCase{"AtEchoLine", Cut::AtEchoLine, true, 1, kTooLarge, "1", 1},
        FileLimitCase{"AtCommandLog", Cut::AtCommandLog, true, 1, kTooLarge, "1", 1},
        FileLimitCase{"AtReleaseLog", Cut::AtReleaseLog, true, 1, kTooLarge, "1", 1},
        FileLimitCase{"AtNextScreen", Cut::AtNextScreen, true, 1, kTooLarge, "1", 2},
        FileLimitCase{"AtExitText", Cut::AtExitText, true, 1, kTooLarge, "1", 2},
        // The signal of a write beyond the limit, held back during the pulse.
        FileLimitCase{"SignalAtEchoLine", Cut::AtEchoLine, false, kKilledBySigxfsz, "", "", 1},
        FileLimitCase{"SignalAtCommandLog", Cut::AtCommandLog, false, kKilledBySigxfsz, "", "1", 1},
        FileLimitCase{"SignalAtReleaseLog", Cut::AtReleaseLog, false, kKilledBySigxfsz, "", "1",
                      1}),
    [](const auto& info) { return std::string(info.param.name); });

struct ClosedPipeCase {
  const char* name;
  bool ignore_sigpipe;
  int status;
  std::string err;
  std::string pulse_keys;
  int screens;
};

void PrintTo(const ClosedPipeCase& c, std::ostream* os) {
  *os << c.name;
}

class ClosedPipeTest : public ::testing::TestWithParam<ClosedPipeCase> {};

// The reader of standard output goes away after a first pulse, while the
// tester waits for the next key; then the key comes.
TEST_P(ClosedPipeTest, ReaderGoneAfterAPulse) {
  const ClosedPipeCase& c = GetParam();
  TempDir dir;
  const std::string trace = dir.file("trace");
  Strings program = {tester_path()};
  if (c.ignore_sigpipe) {
    program.insert(program.begin(), {"/usr/bin/env", "--ignore-signal=PIPE"});
  }
  SimProcess process(sim_command_line({{"--virtual-time"}, program}, trace), Terminal::Pipes);
  process.send("1\n");
  const std::string first =
      expected_screen(0) + expected_pulse('1') + expected_screen(sensor_bits_of(command_of('1')));
  ASSERT_TRUE(process.wait_for([&](const std::string& out) { return out.size() >= first.size(); }));
  ASSERT_EQ(process.out(), first);
  process.close_output();
  process.send("1\n");
  process.close_input();
  const std::optional<int> status = process.wait_exit();
  ASSERT_EQ(status, c.status) << process.err();
  EXPECT_EQ(process.err(), c.err);
  const SimRun run{status, "", process.err(), parse_trace(read_file(trace))};
  expect_pulses_released(run, c.pulse_keys, c.screens);
}

INSTANTIATE_TEST_SUITE_P(Readers, ClosedPipeTest,
                         ::testing::Values(
                             // The next write raises SIGPIPE before the second pulse begins.
                             ClosedPipeCase{"DiesOfSigpipe", false, 128 + SIGPIPE, "", "1", 2},
                             // With SIGPIPE ignored the write fails; the pulse it belongs to
                             // still runs to its end, then the tester says why it stops.
                             ClosedPipeCase{"SigpipeIgnored", true, 1,
                                            "cdbox-test: write error: Broken pipe\n", "11", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cdbox::test
