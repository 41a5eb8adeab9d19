// SPDX-License-Identifier: MIT
// cdbox-sim against the probe program: each row runs the probe's steps under
// the simulator and checks the program's view, the trace and the status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "drawer/regmap.h"
#include "tests/harness/platform.h"
#include "tests/harness/sim_run.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

struct ProbeCase {
  const char* name;
  Strings options;
  Strings steps;
  int status;
  Strings events;                               // the whole trace, by TraceLine::event()
  std::string out;                              // the probe's standard output
  std::optional<Feature> needs = std::nullopt;  // of the kernel, beyond tracing
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << c.name;
}

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, RunsAsTraced) {
  const ProbeCase& c = GetParam();
  if (c.needs) {
    CDBOX_SKIP_UNLESS(*c.needs);
  }
  Strings options = {"--virtual-time"};
  options.insert(options.end(), c.options.begin(), c.options.end());
  Strings program = {probe_path()};
  program.insert(program.end(), c.steps.begin(), c.steps.end());
  const SimRun run = run_sim({options, program});
  ASSERT_TRUE(run.status.has_value()) << "timed out";
  EXPECT_EQ(*run.status, c.status) << run.err;
  // Where a hold of real time runs out among the program's steps depends on
  // how fast this machine runs them; the time tests check that net.
  Strings events = run.events();
  std::erase_if(events, [](const std::string& e) { return e.ends_with(" ms of real time"); });
  EXPECT_EQ(events, c.events);
  EXPECT_EQ(run.out, c.out);
}

const std::string kGrantViolationOut =
    "out to port 0x482 without permission (no iopl or ioperm grant)";
const std::string kGrantViolationIn =
    "in from port 0x482 without permission (no iopl or ioperm grant)";
const std::string kForeign80 = "port 0x80 is not the drawer controller's (0x482-0x484)";
const std::string kLeft10 = "control register left at 0x10 with a solenoid energized";

// The warning for a write of value to the control register under the
// build's map.
std::string unmapped_warning(unsigned value) {
  const unsigned bits = value & ~unsigned{CDBoxDrawer1CMD | CDBoxDrawer2CMD};
  const bool one = (bits & (bits - 1)) == 0;
  return std::string("warning control bit") + (one ? " " : "s ") + hex_byte(bits) +
         (one ? " energizes" : " energize") + " no drawer (drawer 1: " + hex_byte(CDBoxDrawer1CMD) +
         ", drawer 2: " + hex_byte(CDBoxDrawer2CMD) + "); --drawer N:SOLENOID:SENSOR maps a drawer";
}

INSTANTIATE_TEST_SUITE_P(
    Ports, ProbeTest,
    ::testing::Values(
        ProbeCase{"PulseOpensDrawer",
                  {"--status", "0x0c"},
                  {"iopl", "3", "inb", "0x482", "outb", "0x482", "0x10", "usleep", "300000", "outb",
                   "0x482", "0"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0x0c", "out 0x482 0x10", "sleep 0.300000",
                   "drawer 1 open", "out 0x482 0x00", "exit 0"},
                  "iopl = 0\ninb = 0xc\n"},
        ProbeCase{"ShortPulseOpensNothing",
                  {},
                  {"iopl", "3", "outb", "0x482", "0x10", "usleep", "20000", "outb", "0x482", "0",
                   "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "sleep 0.020000", "out 0x482 0x00",
                   "in 0x482 = 0x00", "exit 0"},
                  "iopl = 0\ninb = 0x0\n"},
        ProbeCase{"OpenDrawerShowsInStatus",
                  {"--open-after", "10"},
                  {"iopl", "3", "outb", "0x482", "0x10", "nanosleep", "20000", "outb", "0x482", "0",
                   "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "sleep 0.020000", "drawer 1 open",
                   "out 0x482 0x00", "in 0x482 = " + hex_byte(CDBoxDrawer1OpenBit), "exit 0"},
                  "iopl = 0\ninb = " + hex(CDBoxDrawer1OpenBit) + "\n"},
        ProbeCase{"DrawerTwo",
                  {},
                  {"iopl", "3", "outb", "0x482", std::to_string(CDBoxDrawer2CMD), "usleep",
                   "100000", "outb", "0x482", "0"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 " + hex_byte(CDBoxDrawer2CMD), "sleep 0.100000",
                   "drawer 2 open", "out 0x482 0x00", "exit 0"},
                  "iopl = 0\n"},
        ProbeCase{"CloseAfter",
                  {"--close-after", "100"},
                  {"iopl", "3", "outb", "0x482", "0x10", "usleep", "300000", "outb", "0x482", "0",
                   "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "sleep 0.300000", "drawer 1 open",
                   "drawer 1 closed", "out 0x482 0x00", "in 0x482 = 0x00", "exit 0"},
                  "iopl = 0\ninb = 0x0\n"},
        ProbeCase{"WordAccessReachesNextPort",
                  {},
                  {"iopl", "3", "inw", "0x482", "outw", "0x482", "0x1234", "outw", "0x482", "0"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0xff00", "out 0x482 0x1234",
                   unmapped_warning(0x34), "out 0x482 0x0000", "exit 0"},
                  "iopl = 0\ninw = 0xff00\n"},
        // The instruction's bytes lie in two aligned words of the code.
        ProbeCase{"InstructionAcrossWords",
                  {},
                  {"iopl", "3", "inwsplit", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0xff00", "exit 0"},
                  "iopl = 0\ninwsplit = 0xff00\n"},
        ProbeCase{"DwordAccessReachesForeignPort",
                  {},
                  {"iopl", "3", "inl", "0x482"},
                  70,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0xffffff00",
                   "violation port 0x485 is not the drawer controller's (0x482-0x484)", "exit 0"},
                  "iopl = 0\ninl = 0xffffff00\n"},
        ProbeCase{
            "ImmediateForms",
            {},
            {"iopl", "3", "inbi", "inwi", "inli", "outbi", "1", "outwi", "0x102", "outli",
             "0x1020304"},
            70,
            {"exec", "iopl 3 = 0", "in 0x80 = 0xff", "violation " + kForeign80, "in 0x80 = 0xffff",
             "violation " + kForeign80, "in 0x80 = 0xffffffff", "violation " + kForeign80,
             "out 0x80 0x01", "violation " + kForeign80, "out 0x80 0x0102",
             "violation " + kForeign80, "out 0x80 0x01020304", "violation " + kForeign80, "exit 0"},
            "iopl = 0\ninbi = 0xff\ninwi = 0xffff\ninli = 0xffffffff\n"},
        // Read as the CPU fetches it: an execute-only page is no obstacle.
        ProbeCase{"ExecuteOnlyPage",
                  {},
                  {"iopl", "3", "xonly"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0x00", "exit 0"},
                  "iopl = 0\nxonly = 0x0\n"},
        ProbeCase{
            "UpperPortsReadAllOnes",
            {},
            {"ioperm", "0x482", "3", "1", "inb", "0x483", "inb", "0x484", "outb", "0x484", "0x10"},
            0,
            {"exec", "ioperm 0x482 3 1 = 0", "in 0x483 = 0xff", "in 0x484 = 0xff", "out 0x484 0x10",
             "exit 0"},
            "ioperm = 0\ninb = 0xff\ninb = 0xff\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Privilege, ProbeTest,
    ::testing::Values(
        ProbeCase{"NoGrantFaults",
                  {},
                  {"outb", "0x482", "0x10"},
                  70,
                  {"exec", "violation " + kGrantViolationOut, "killed SIGSEGV"},
                  ""},
        ProbeCase{"IopermRangeGrants",
                  {},
                  {"ioperm", "0x482", "3", "1", "inb", "0x482", "outb", "0x482", "0"},
                  0,
                  {"exec", "ioperm 0x482 3 1 = 0", "in 0x482 = 0x00", "out 0x482 0x00", "exit 0"},
                  "ioperm = 0\ninb = 0x0\n"},
        ProbeCase{
            "WordNeedsBothPortsGranted",
            {},
            {"ioperm", "0x482", "1", "1", "inw", "0x482"},
            70,
            {"exec", "ioperm 0x482 1 1 = 0", "violation " + kGrantViolationIn, "killed SIGSEGV"},
            "ioperm = 0\n"},
        ProbeCase{"IopermOffRevokes",
                  {},
                  {"ioperm", "0x482", "3", "1", "ioperm", "0x482", "3", "0", "inb", "0x482"},
                  70,
                  {"exec", "ioperm 0x482 3 1 = 0", "ioperm 0x482 3 0 = 0",
                   "violation " + kGrantViolationIn, "killed SIGSEGV"},
                  "ioperm = 0\nioperm = 0\n"},
        ProbeCase{"RefusedIoplDefaultsToEperm",
                  {"--refuse-iopl"},
                  {"iopl", "3", "inb", "0x482"},
                  70,
                  {"exec", "iopl 3 = -EPERM", "violation " + kGrantViolationIn, "killed SIGSEGV"},
                  "iopl = EPERM\n"},
        ProbeCase{"RefusedIoplByName",
                  {"--refuse-iopl=ENOSYS"},
                  {"iopl", "3"},
                  0,
                  {"exec", "iopl 3 = -ENOSYS", "exit 0"},
                  "iopl = ENOSYS\n"},
        ProbeCase{"RefusedIopermByNumber",
                  {"--refuse-ioperm=38"},
                  {"ioperm", "0x482", "3", "1", "iopl", "3"},
                  0,
                  {"exec", "ioperm 0x482 3 1 = -ENOSYS", "iopl 3 = 0", "exit 0"},
                  "ioperm = ENOSYS\niopl = 0\n"},
        ProbeCase{"IoplLevelFourInvalid",
                  {},
                  {"iopl", "4"},
                  0,
                  {"exec", "iopl 4 = -EINVAL", "exit 0"},
                  "iopl = EINVAL\n"},
        // iopl takes an unsigned int: the upper half of the register is not
        // part of the level.
        ProbeCase{"IoplLevelIsThirtyTwoBits",
                  {},
                  {"ioplraw", "0x100000003", "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0x00", "exit 0"},
                  "ioplraw = 0\ninb = 0x0\n"},
        ProbeCase{"IopermPastPortSpaceInvalid",
                  {},
                  {"ioperm", "0xffff", "2", "1"},
                  0,
                  {"exec", "ioperm 0xffff 2 1 = -EINVAL", "exit 0"},
                  "ioperm = EINVAL\n"},
        ProbeCase{"ForkInheritsGrant",
                  {},
                  {"ioperm", "0x482", "3", "1", "fork", "inb", "0x482", "exit", "4"},
                  4,
                  {"exec", "ioperm 0x482 3 1 = 0", "in 0x482 = 0x00", "exit 4", "exit 4"},
                  "ioperm = 0\ninb = 0x0\n"},
        ProbeCase{"ThreadInheritsGrant",
                  {},
                  {"iopl", "3", "thread", "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0x00", "exit 0"},
                  "iopl = 0\ninb = 0x0\n"},
        // The process ends with its last thread, and with that one's status.
        ProbeCase{"LeaderEndsFirst",
                  {},
                  {"leaderexit", "iopl", "3", "usleep", "1000", "exit", "5"},
                  5,
                  {"exec", "iopl 3 = 0", "sleep 0.001000", "exit 5"},
                  "iopl = 0\n"},
        // A thread that execs takes the leader's place: nothing has ended.
        ProbeCase{"ExecFromAThread",
                  {},
                  {"thread", "exec", "iopl", "3", "exit", "3"},
                  3,
                  {"exec", "exec", "iopl 3 = 0", "exit 3"},
                  "iopl = 0\n"},
        ProbeCase{"IoplFromAThreadIsIntercepted",
                  {},
                  {"thread", "iopl", "3"},
                  0,
                  {"exec", "iopl 3 = 0", "exit 0"},
                  "iopl = 0\n"},
        // Through int 0x80 the call must not reach the kernel either.
        ProbeCase{"CompatEntryIntercepted",
                  {"--refuse-iopl=ENOSYS"},
                  {"iopl32", "3"},
                  0,
                  {"exec", "iopl 3 = -ENOSYS", "exit 0"},
                  "iopl32 = ENOSYS\n",
                  Feature::CompatEntry},
        ProbeCase{"CompatEntryGrants",
                  {},
                  {"iopl32", "3", "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "in 0x482 = 0x00", "exit 0"},
                  "iopl32 = 0\ninb = 0x0\n",
                  Feature::CompatEntry},
        ProbeCase{"ExecKeepsGrant",
                  {},
                  {"iopl", "3", "exec", "inb", "0x482"},
                  0,
                  {"exec", "iopl 3 = 0", "exec", "in 0x482 = 0x00", "exit 0"},
                  "iopl = 0\ninb = 0x0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Safety, ProbeTest,
    ::testing::Values(
        ProbeCase{"HoldTooLong",
                  {"--max-hold", "200"},
                  {"iopl", "3", "outb", "0x482", "0x10", "usleep", "300000", "outb", "0x482", "0"},
                  70,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "sleep 0.300000", "drawer 1 open",
                   "violation drawer 1 solenoid energized longer than 200 ms", "out 0x482 0x00",
                   "exit 0"},
                  "iopl = 0\n"},
        ProbeCase{"HoldOfExactlyMaxHoldIsAllowed",
                  {"--max-hold", "300"},
                  {"iopl", "3", "outb", "0x482", "0x10", "usleep", "300000", "outb", "0x482", "0"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "sleep 0.300000", "drawer 1 open",
                   "out 0x482 0x00", "exit 0"},
                  "iopl = 0\n"},
        // What a write sets off is traced after the write.
        ProbeCase{
            "InstantOpenFollowsTheWrite",
            {"--open-after", "0"},
            {"iopl", "3", "outb", "0x482", "0x10", "outb", "0x482", "0"},
            0,
            {"exec", "iopl 3 = 0", "out 0x482 0x10", "drawer 1 open", "out 0x482 0x00", "exit 0"},
            "iopl = 0\n"},
        ProbeCase{
            "ZeroMaxHoldViolationFollowsTheWrite",
            {"--max-hold", "0", "--open-after", "0"},
            {"iopl", "3", "outb", "0x482", "0x10", "usleep", "1000", "outb", "0x482", "0"},
            70,
            {"exec", "iopl 3 = 0", "out 0x482 0x10", "drawer 1 open", "sleep 0.001000",
             "violation drawer 1 solenoid energized longer than 0 ms", "out 0x482 0x00", "exit 0"},
            "iopl = 0\n"},
        ProbeCase{"LeftEnergized",
                  {},
                  {"iopl", "3", "outb", "0x482", "0x10"},
                  70,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "exit 0", "violation " + kLeft10},
                  "iopl = 0\n"},
        ProbeCase{"SignalOnPulseEndsProgram",
                  {"--signal-on-pulse", "SIGUSR1"},
                  {"iopl", "3", "outb", "0x482", "0x10", "usleep", "300000", "outb", "0x482", "0"},
                  70,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "signal SIGUSR1", "killed SIGUSR1",
                   "violation " + kLeft10},
                  "iopl = 0\n"},
        ProbeCase{"SignalOnPulseHeldBack",
                  {"--signal-on-pulse", "10"},
                  {"block", "iopl", "3", "outb", "0x482", "0x10", "usleep", "300000", "outb",
                   "0x482", "0"},
                  0,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "signal SIGUSR1", "sleep 0.300000",
                   "drawer 1 open", "out 0x482 0x00", "exit 0"},
                  "iopl = 0\n"},
        ProbeCase{"RealtimeSignalNamed",
                  {"--signal-on-pulse", "SIGRTMIN+2"},
                  {"iopl", "3", "outb", "0x482", "0x10"},
                  70,
                  {"exec", "iopl 3 = 0", "out 0x482 0x10", "signal SIGRTMIN+2", "killed SIGRTMIN+2",
                   "violation " + kLeft10},
                  "iopl = 0\n"},
        ProbeCase{"ExitStatusPassesThrough", {}, {"exit", "3"}, 3, {"exec", "exit 3"}, ""},
        ProbeCase{"DeathBySignalPassesThrough",
                  {},
                  {"raise", "15"},
                  128 + SIGTERM,
                  {"exec", "killed SIGTERM"},
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Every child is followed, however it was made.
INSTANTIATE_TEST_SUITE_P(
    Escapes, ProbeTest,
    ::testing::Values(ProbeCase{"UntracedCloneIsTraced",
                                {},
                                {"untraced", "iopl", "3", "inb", "0x482", "exit", "4"},
                                4,
                                {"exec", "iopl 3 = 0", "in 0x482 = 0x00", "exit 4", "exit 4"},
                                "iopl = 0\ninb = 0x0\n"},
                      ProbeCase{"Clone3RefusedThreadsStillWork",
                                {},
                                {"clone3", "thread", "iopl", "3"},
                                0,
                                {"exec", "iopl 3 = 0", "exit 0"},
                                "clone3 = ENOSYS\niopl = 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The address of a faulting instruction differs from run to run.
TEST(ProbeTrace, StringInstructionsAreViolations) {
  for (const char* form : {"outsb", "insb", "repoutsb"}) {
    const SimRun run = run_sim({{"--virtual-time"}, {probe_path(), "iopl", "3", form, "0x482"}});
    ASSERT_TRUE(run.status.has_value());
    EXPECT_EQ(*run.status, 70) << form;
    ASSERT_EQ(run.trace.size(), 4U) << form;
    EXPECT_TRUE(run.trace[2].text.starts_with("violation string port instruction (INS/OUTS) at 0x"))
        << form;
    EXPECT_EQ(run.trace[3].event(), "killed SIGSEGV") << form;
    EXPECT_NE(run.err.find("cdbox-sim: violation: string port instruction"), std::string::npos)
        << form;
  }
}

// A path is the program's to choose: one with a newline and blanks in it
// must not forge trace lines.
TEST(ProbeTrace, ExecPathIsOneEscapedField) {
  TempDir dir;
  const std::string name = "evil\n0.000000 1 exit 0";
  const std::string link = dir.file(name);
  ASSERT_EQ(symlink(probe_path().c_str(), link.c_str()), 0);
  const SimRun run = run_sim({{"--virtual-time"}, {link, "exit", "0"}});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.trace.size(), 2U);
  EXPECT_EQ(run.trace[0].text, "exec " + dir.file("evil\\n0.000000\\x201\\x20exit\\x200"));
  EXPECT_EQ(run.trace[1].event(), "exit 0");
}

// A shell script that calls port programs: every process is traced and
// they all share the one controller.
TEST(ProbeTrace, ShellScriptSharesTheController) {
  const std::string probe = probe_path();
  const SimRun run = run_sim({{"--virtual-time"},
                              {"/bin/sh", "-c",
                               probe + " iopl 3 outb 0x482 0x10; " + probe + " usleep 300000; " +
                                   probe + " iopl 3 inb 0x482 outb 0x482 0"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "iopl = 0\niopl = 0\ninb = " + hex(CDBoxDrawer1OpenBit) + "\n");
  EXPECT_EQ(run.writes_to("0x482"), (Strings{"0x10", "0x00"}));
  std::set<pid_t> pids;
  for (const TraceLine& line : run.trace) {
    pids.insert(line.pid);
  }
  // The shell and three probes, unless the shell ran the last one in its
  // own process.
  EXPECT_GE(pids.size(), 3U);
  const Strings events = run.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "drawer 1 open"), 1);
}

}  // namespace
}  // namespace cdbox::test
