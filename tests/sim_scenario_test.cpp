// SPDX-License-Identifier: MIT
// The controller's scenarios, the run-time map and the waveform, end to end:
// the tester (or a probe) under cdbox-sim, checked on its screens, in the
// trace, and in the waveform as sigrok and GTKWave read it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "drawer/regmap.h"
#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

SimRun run_tester(const Strings& options, const std::string& keys) {
  Strings all = {"--virtual-time"};
  all.insert(all.end(), options.begin(), options.end());
  return run_sim({all, {tester_path()}, keys});
}

// The screens of a session, in order, each as the tester drew it.
Strings screens_of(const std::string& out) {
  Strings screens;
  const std::string mark = "original value of port ";
  for (std::size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
    screens.push_back(out.substr(at + mark.size(), 4));
  }
  return screens;
}

bool has_line(const SimRun& run, const std::string& text) {
  for (const TraceLine& line : run.trace) {
    if (line.text == text) {
      return true;
    }
  }
  return false;
}

void expect_clean(const SimRun& run) {
  ASSERT_TRUE(run.status.has_value()) << "timed out";
  EXPECT_EQ(*run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

TEST(Scenario, AbsentControllerReadsAllOnes) {
  const SimRun run = run_tester({"--absent"}, "10");
  expect_clean(run);
  EXPECT_TRUE(run.out.starts_with(expected_screen(0xff))) << run.out;
  // The drawer of the pulse does not open: nothing is there to open it.
  EXPECT_EQ(screens_of(run.out), (Strings{"0xff", "0xff"}));
  EXPECT_FALSE(has_line(run, "drawer 1 open"));
  EXPECT_EQ(run.writes_to("0x482"), (Strings{hex_byte(CDBoxDrawer1CMD), "0x00"}));
}

TEST(Scenario, JammedDrawerStaysShutAfterThePulse) {
  const SimRun run = run_tester({"--jam", "1"}, "120");
  expect_clean(run);
  EXPECT_TRUE(has_line(run, "drawer 1 jammed"));
  EXPECT_FALSE(has_line(run, "drawer 1 open"));
  EXPECT_TRUE(has_line(run, "drawer 2 open"));
  EXPECT_EQ(screens_of(run.out), (Strings{"0x00", "0x00", hex_byte(CDBoxDrawer2OpenBit)}));
}

TEST(Scenario, ActiveLowSensorsReadZeroWhileOpen) {
  const unsigned both = CDBoxDrawer1OpenBit | CDBoxDrawer2OpenBit;
  const SimRun run = run_tester({"--sensor-active-low"}, "10");
  expect_clean(run);
  EXPECT_EQ(screens_of(run.out), (Strings{hex_byte(both), hex_byte(CDBoxDrawer2OpenBit)}));
}

TEST(Scenario, OperatorOpensAndShutsByHand) {
  // Drawer 2's pulse opens it at 50 ms; the operator opens drawer 1 at 100
  // ms and shuts drawer 2 at 200 ms, while the tester still holds.
  const SimRun run = run_tester({"--at", "100:open:1", "--at", "200:close:2"}, "20");
  expect_clean(run);
  Strings drawer_lines;
  for (const TraceLine& line : run.trace) {
    if (line.text.starts_with("drawer ")) {
      drawer_lines.push_back(std::to_string(line.time_us) + " " + std::to_string(line.pid) + " " +
                             line.text);
    }
  }
  const std::string tester_pid = std::to_string(run.trace.front().pid);
  EXPECT_EQ(drawer_lines,
            (Strings{"50000 " + tester_pid + " drawer 2 open", "100000 0 drawer 1 open by hand",
                     "200000 0 drawer 2 closed by hand"}));
  EXPECT_EQ(screens_of(run.out), (Strings{"0x00", hex_byte(CDBoxDrawer1OpenBit)}));
}

struct BadOptionCase {
  const char* name;
  Strings options;
  std::string message;
};

void PrintTo(const BadOptionCase& c, std::ostream* os) {
  *os << c.name;
}

class BadScenarioOption : public ::testing::TestWithParam<BadOptionCase> {};

TEST_P(BadScenarioOption, IsAUsageError) {
  Strings argv = {sim_path()};
  argv.insert(argv.end(), GetParam().options.begin(), GetParam().options.end());
  argv.emplace_back("true");
  SimProcess process(argv, Terminal::Pipes);
  process.close_input();
  EXPECT_EQ(process.wait_exit(), 125);
  EXPECT_TRUE(process.err().starts_with(GetParam().message)) << process.err();
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadScenarioOption,
    ::testing::Values(
        BadOptionCase{"JamDrawerThree", {"--jam", "3"}, "cdbox-sim: --jam: invalid value '3'"},
        BadOptionCase{"AtWithoutDrawer", {"--at", "100:open"}, "cdbox-sim: --at: invalid value"},
        BadOptionCase{"AtUnknownAction", {"--at", "100:slam:1"}, "cdbox-sim: --at: invalid"},
        BadOptionCase{"AtNegativeTime", {"--at", "-1:open:1"}, "cdbox-sim: --at: invalid"},
        BadOptionCase{"DrawerZeroBit", {"--drawer", "2:0x00:0x01"}, "cdbox-sim: --drawer"},
        BadOptionCase{"DrawerNotAByte", {"--drawer", "1:0x100:0x01"}, "cdbox-sim: --drawer"},
        BadOptionCase{"DrawerExtraField", {"--drawer", "1:0x10:0x08:1"}, "cdbox-sim: --drawer"},
        BadOptionCase{"VcdUnwritable",
                      {"--vcd", "/nonexistent/dir/w.vcd"},
                      "cdbox-sim: cannot write waveform '/nonexistent/dir/w.vcd'"}),
    [](const auto& info) { return std::string(info.param.name); });

// A control bit that neither drawer of this build uses.
constexpr unsigned kForeignBit = (CDBoxDrawer1CMD | CDBoxDrawer2CMD) & 0x40 ? 0x80 : 0x40;

TEST(RunTimeMap, ProgramOfAnotherMapRunsCleanWhenMapped) {
  const std::string solenoid = hex_byte(kForeignBit);
  const SimRun run = run_sim({{"--virtual-time", "--drawer", "2:" + solenoid + ":0x01"},
                              {CDBOX_PULSE_PROBE_PATH, std::to_string(kForeignBit)}});
  expect_clean(run);
  EXPECT_TRUE(has_line(run, "drawer 2 open"));
  for (const TraceLine& line : run.trace) {
    EXPECT_FALSE(line.text.starts_with("warning")) << line.text;
  }
}

TEST(RunTimeMap, UnmappedBitIsAWarningAndKeepsTheStatus) {
  const SimRun run =
      run_sim({{"--virtual-time"}, {CDBOX_PULSE_PROBE_PATH, std::to_string(kForeignBit)}});
  ASSERT_EQ(run.status, 0);
  const std::string text = "control bit " + hex_byte(kForeignBit) + " energizes no drawer";
  EXPECT_EQ(run.err.find("cdbox-sim: warning: " + text), 0U) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  bool traced = false;
  for (const TraceLine& line : run.trace) {
    traced = traced || line.text.starts_with("warning " + text);
    EXPECT_FALSE(line.text.starts_with("drawer ")) << line.text;
  }
  EXPECT_TRUE(traced);
}

// The tester of this build, with its own map given at run time: the
// simulator then needs no rebuild either way.
TEST(RunTimeMap, TesterRunsCleanUnderItsOwnMapGivenAtRunTime) {
  const SimRun run = run_tester(
      {"--drawer", "1:" + hex_byte(CDBoxDrawer1CMD) + ":" + hex_byte(CDBoxDrawer1OpenBit),
       "--drawer", "2:" + hex_byte(CDBoxDrawer2CMD) + ":" + hex_byte(CDBoxDrawer2OpenBit)},
      "1230");
  expect_clean(run);
  EXPECT_EQ(run.out, expected_session(0x00, "123"));
}

// A waveform as sigrok-cli reads it: per channel, its value at each
// microsecond from 0 on.
using Samples = std::map<std::string, std::string>;

std::optional<Samples> read_with_sigrok(const std::string& vcd) {
  SimProcess process(
      {"/usr/bin/sigrok-cli", "-I", "vcd", "-i", vcd, "-O", "csv:label=channel:header=false"},
      Terminal::Pipes);
  process.close_input();
  if (process.wait_exit() != 0) {
    ADD_FAILURE() << "sigrok-cli: " << process.err();
    return std::nullopt;
  }
  std::istringstream lines(process.out());
  std::string line;
  Strings names;
  Samples samples;
  while (std::getline(lines, line)) {
    if (line.starts_with(";") || line.starts_with("META")) {
      continue;
    }
    std::istringstream fields(line);
    std::string field;
    for (std::size_t i = 0; std::getline(fields, field, ','); ++i) {
      if (names.size() <= i) {
        names.push_back(field);
      } else {
        samples[names[i]] += field;
      }
    }
  }
  return samples;
}

class Waveform : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/sigrok-cli", X_OK) != 0) {
      GTEST_SKIP() << "sigrok-cli is not installed (Debian package sigrok-cli)";
    }
  }

  // The tester's run with a waveform, as sigrok reads it.
  Samples run(const Strings& options, const std::string& keys) {
    Strings all = {"--vcd", dir_.file("w.vcd")};
    all.insert(all.end(), options.begin(), options.end());
    const SimRun sim = run_tester(all, keys);
    EXPECT_EQ(sim.status, 0) << sim.err;
    return read_with_sigrok(dir_.file("w.vcd")).value_or(Samples{});
  }

  TempDir dir_;
};

TEST_F(Waveform, TesterPulseHoldsThreeHundredMsAndTheSensorFollowsAtFifty) {
  Samples s = run({}, "10");
  const std::string& solenoid = s["solenoid1"];
  const std::string& sensor = s["sensor1"];
  const std::size_t on = solenoid.find('1');
  ASSERT_NE(on, std::string::npos);
  EXPECT_EQ(solenoid.find('0', on) - on, 300'000U);
  EXPECT_EQ(sensor.find('1'), on + 50'000);
  EXPECT_EQ(s["ctl4"], solenoid);
  const std::string& status_bit = s["sts" + std::to_string(__builtin_ctz(CDBoxDrawer1OpenBit))];
  EXPECT_EQ(status_bit, sensor);
  EXPECT_EQ(s["solenoid2"].find('1'), std::string::npos);
}

TEST_F(Waveform, JammedDrawerSensorStaysLow) {
  Samples s = run({"--jam", "1"}, "10");
  EXPECT_NE(s["solenoid1"].find('1'), std::string::npos);
  EXPECT_EQ(s["sensor1"].find('1'), std::string::npos);
}

TEST_F(Waveform, AbsentControllerShowsAllOnesAndNoSolenoid) {
  Samples s = run({"--absent"}, "10");
  for (int bit = 0; bit < 8; ++bit) {
    const std::string& wire = s["sts" + std::to_string(bit)];
    EXPECT_EQ(wire.find('0'), std::string::npos) << bit;
    EXPECT_FALSE(wire.empty()) << bit;
  }
  EXPECT_EQ(s["solenoid1"].find('1'), std::string::npos);
}

TEST_F(Waveform, OperatorShowsOnTheSensorAndActiveLowOnTheStatus) {
  Samples s = run({"--sensor-active-low", "--at", "100:open:2", "--at", "200:close:2"}, "10");
  const std::string& sensor = s["sensor2"];
  EXPECT_EQ(sensor.find('1'), 100'000U);
  EXPECT_EQ(sensor.find('0', 100'000), 200'000U);
  const std::string& status_bit = s["sts" + std::to_string(__builtin_ctz(CDBoxDrawer2OpenBit))];
  EXPECT_EQ(status_bit.find('0'), 100'000U);
  EXPECT_EQ(status_bit.find('1', 100'000), 200'000U);
}

// A waveform cut short fails the run as a cut trace does, after the
// program ran to its end.
TEST(WaveformFile, FullDiskIsStatus74) {
  const SimRun run = run_sim({{"--virtual-time", "--vcd", "/dev/full"},
                              {probe_path(), "iopl", "3", "outb", "0x482", "0x10", "usleep",
                               "300000", "outb", "0x482", "0"}});
  EXPECT_EQ(run.status, 74);
  EXPECT_EQ(run.out, "iopl = 0\n");
  EXPECT_EQ(run.err, "cdbox-sim: waveform '/dev/full': not written to its end; check the disk\n");
}

TEST(WaveformFile, GtkwaveConvertsIt) {
  if (access("/usr/bin/vcd2fst", X_OK) != 0) {
    GTEST_SKIP() << "vcd2fst is not installed (Debian package gtkwave)";
  }
  TempDir dir;
  const SimRun sim = run_tester({"--vcd", dir.file("w.vcd")}, "30");
  ASSERT_EQ(sim.status, 0);
  SimProcess process({"/usr/bin/vcd2fst", dir.file("w.vcd"), dir.file("w.fst")}, Terminal::Pipes);
  process.close_input();
  EXPECT_EQ(process.wait_exit(), 0) << process.err();
  EXPECT_FALSE(read_file(dir.file("w.fst")).empty());
}

}  // namespace
}  // namespace cdbox::test
