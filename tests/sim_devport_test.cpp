// SPDX-License-Identifier: MIT
// Scripts of the dd kind that reach the drawer controller through /dev/port
// under cdbox-sim. Every script runs under the simulator, which never lets
// an open of /dev/port reach the kernel by that name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "drawer/regmap.h"
#include "sim/devport/devport.h"
#include "tests/harness/sim_run.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

// A byte written to or read from a port through /dev/port (octal escapes:
// the shell's printf may not know \x).
std::string write_port(const std::string& port, const std::string& octal) {
  return "printf '\\" + octal + "' | dd of=/dev/port bs=1 seek=$((" + port +
         ")) conv=notrunc 2>/dev/null";
}
std::string read_port(const std::string& port) {
  return "dd if=/dev/port bs=1 skip=$((" + port + ")) count=1 2>/dev/null | od -An -tx1";
}
// A byte as od -An -tx1 prints it: " 0c\n".
std::string od_byte(unsigned value) {
  return " " + hex_byte(value).substr(2) + "\n";
}
// The status base used below, clear of the drawer bits of any map.
constexpr unsigned kBase = 0x20;
// Drawer 1's open bit as the probe prints what inb read: "0x8".
const std::string kOpenInb = [] {
  char text[8];
  std::snprintf(text, sizeof text, "0x%x", unsigned{CDBoxDrawer1OpenBit});
  return std::string(text);
}();
const std::string kPulse = write_port("0x482", "020");
const std::string kRelease = write_port("0x482", "000");
const std::string kStatus = read_port("0x482");

// The trace lines that concern the ports and the opens of /dev/port.
Strings port_events(const SimRun& run) {
  Strings events;
  for (const TraceLine& line : run.trace) {
    for (const char* prefix : {"open ", "in ", "out ", "drawer ", "violation ", "iopl "}) {
      if (line.text.starts_with(prefix)) {
        events.push_back(line.text);
        break;
      }
    }
  }
  return events;
}

SimRun run_script(const Strings& options, const std::string& script, const Strings& launcher = {},
                  const std::string& sim = {}) {
  Strings all = {"--virtual-time"};
  all.insert(all.end(), options.begin(), options.end());
  SimCommand command{all, {"/bin/sh", "-c", script}};
  command.launcher = launcher;
  command.sim = sim;
  return run_sim(command);
}

// Why /dev/port cannot be served to a program here, or nullopt.
std::optional<std::string> why_not_served() {
  if (geteuid() != 0) {
    return "opening /dev/port needs CAP_SYS_RAWIO, which only the programs of root hold";
  }
  const SimRun run = run_script({}, "exec 3</dev/port");
  if (run.err.find("cdbox-sim: /dev/port:") != std::string::npos) {
    return "FUSE cannot be used on this machine: " + run.err;
  }
  return std::nullopt;
}

// Whether /dev/port exists: no test may create it, nor write the real one.
bool dev_port_exists() {
  struct stat st {};
  return lstat("/dev/port", &st) == 0;
}

class DevPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(dev_port_exists(), existed_) << "a script reached the real /dev/port";
  }

 private:
  bool existed_ = dev_port_exists();
};

struct ServedCase {
  const char* name;
  Strings options;
  std::string script;
  int status;
  std::string out;
  Strings events;
};

class ServedTest : public DevPortTest, public ::testing::WithParamInterface<ServedCase> {};

TEST_P(ServedTest, ReachesTheOneController) {
  if (const auto why = why_not_served()) {
    GTEST_SKIP() << *why;
  }
  const ServedCase& c = GetParam();
  const SimRun run = run_script(c.options, c.script);
  ASSERT_EQ(run.status, c.status) << run.err;
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(port_events(run), c.events);
}

const std::string kForeign = "violation port 0x480 is not the drawer controller's (0x482-0x484)";

INSTANTIATE_TEST_SUITE_P(
    Scripts, ServedTest,
    ::testing::Values(
        ServedCase{"PulseOpensDrawer1",
                   {},
                   kPulse + "; sleep 0.3; " + kRelease,
                   0,
                   "",
                   {"open /dev/port", "out 0x482 0x10", "drawer 1 open", "open /dev/port",
                    "out 0x482 0x00"}},
        ServedCase{"StatusShowsTheDrawerBit",
                   {"--status", hex_byte(kBase)},
                   kStatus + "; " + kPulse + "; sleep 0.3; " + kRelease + "; " + kStatus,
                   0,
                   od_byte(kBase) + od_byte(kBase | CDBoxDrawer1OpenBit),
                   {"open /dev/port", "in 0x482 = " + hex_byte(kBase), "open /dev/port",
                    "out 0x482 0x10", "drawer 1 open", "open /dev/port", "out 0x482 0x00",
                    "open /dev/port", "in 0x482 = " + hex_byte(kBase | CDBoxDrawer1OpenBit)}},
        ServedCase{"ForeignOffsetIsAViolation",
                   {},
                   write_port("0x480", "020"),
                   70,
                   "",
                   {"open /dev/port", "out 0x480 0x10", kForeign}},
        ServedCase{"RelativePathFromDev",
                   {},
                   "cd /dev && printf '\\020' | dd of=port bs=1 seek=$((0x482)) conv=notrunc "
                   "2>/dev/null; sleep 0.3; cd /dev/../tmp && printf '\\000' | dd of=../dev/port "
                   "bs=1 seek=$((0x482)) conv=notrunc 2>/dev/null",
                   0,
                   "",
                   {"open /dev/port", "out 0x482 0x10", "drawer 1 open", "open /dev/port",
                    "out 0x482 0x00"}},
        // Descriptors of the shell's (one opened as `> /dev/port` does, with
        // O_TRUNC), used by its children: dd seeks from where they stand.
        ServedCase{
            "RedirectionsInheritedByChildren",
            {},
            "exec 3<>/dev/port 4>/dev/port 5</dev/port; printf '\\020' | dd bs=1 "
            "seek=$((0x482)) conv=notrunc >&3 2>/dev/null; sleep 0.3; printf '\\000' | "
            "dd bs=1 seek=$((0x482)) conv=notrunc >&4 2>/dev/null; dd bs=1 count=1 "
            "skip=$((0x482)) <&5 2>/dev/null | od -An -tx1",
            0,
            od_byte(CDBoxDrawer1OpenBit),
            {"open /dev/port", "open /dev/port", "open /dev/port", "out 0x482 0x10",
             "drawer 1 open", "out 0x482 0x00", "in 0x482 = " + hex_byte(CDBoxDrawer1OpenBit)}},
        // The kernel's file ends at 65536: a read there gives what is left.
        ServedCase{"ReadStopsAtTheEndOfThePortSpace",
                   {},
                   "dd if=/dev/port bs=4 skip=16383 count=2 2>/dev/null | wc -c; dd "
                   "if=/dev/port bs=1 skip=65536 count=1 2>/dev/null | wc -c",
                   70,
                   "4\n0\n",
                   {"open /dev/port", "in 0xfffc = 0xff",
                    "violation port 0xfffc is not the drawer controller's (0x482-0x484)",
                    "in 0xfffd = 0xff",
                    "violation port 0xfffd is not the drawer controller's (0x482-0x484)",
                    "in 0xfffe = 0xff",
                    "violation port 0xfffe is not the drawer controller's (0x482-0x484)",
                    "in 0xffff = 0xff",
                    "violation port 0xffff is not the drawer controller's (0x482-0x484)",
                    "open /dev/port"}},
        // IN/OUT and /dev/port against the one controller, in turns.
        ServedCase{
            "MixedWithInstructions",
            {},
            probe_path() + " iopl 3 outb 0x482 0x10 && sleep 0.3 && " + kStatus + " && " +
                kRelease + " && " + probe_path() + " iopl 3 inb 0x482",
            0,
            "iopl = 0\n" + od_byte(CDBoxDrawer1OpenBit) + "iopl = 0\ninb = " + kOpenInb + "\n",
            {"iopl 3 = 0", "out 0x482 0x10", "drawer 1 open", "open /dev/port",
             "in 0x482 = " + hex_byte(CDBoxDrawer1OpenBit), "open /dev/port", "out 0x482 0x00",
             "iopl 3 = 0", "in 0x482 = " + hex_byte(CDBoxDrawer1OpenBit)}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
  const char* name;
  Strings options;
  bool as_ordinary_user;
  std::string why;    // as dd reports it
  std::string event;  // the trace line of the open
};

class RefusedTest : public DevPortTest, public ::testing::WithParamInterface<RefusedCase> {};

// A refused open fails before any port is reached; it needs no FUSE.
TEST_P(RefusedTest, FailsTheOpen) {
  const RefusedCase& c = GetParam();
  Strings launcher;
  TempDir programs;
  std::string sim;
  if (c.as_ordinary_user && geteuid() == 0) {
    sim = copy_for_any_user(programs, sim_path());
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "needs setpriv(1) to run cdbox-sim as an ordinary user";
    }
    launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const SimRun run = run_script(
      c.options, "dd if=/dev/port bs=1 count=1 2>&1 >/dev/null | grep -c '" + c.why + "'", launcher,
      sim);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "1\n");
  EXPECT_EQ(port_events(run), Strings{c.event});
}

INSTANTIATE_TEST_SUITE_P(
    Opens, RefusedTest,
    ::testing::Values(
        RefusedCase{"OrdinaryUser", {}, true, "Operation not permitted", "open /dev/port = -EPERM"},
        RefusedCase{"RefuseDevport",
                    {"--refuse-devport"},
                    false,
                    "Operation not permitted",
                    "open /dev/port = -EPERM"},
        RefusedCase{"RefuseDevportWithError",
                    {"--refuse-devport=EACCES"},
                    false,
                    "Permission denied",
                    "open /dev/port = -EACCES"}),
    [](const auto& info) { return std::string(info.param.name); });

// The calls of a C program: offsets of pread and pwrite, lseek from the
// start and from where it stands, and the end of the port space.
TEST_F(DevPortTest, CallsOfACProgramBehaveAsTheKernelFile) {
  if (const auto why = why_not_served()) {
    GTEST_SKIP() << *why;
  }
  const SimRun run = run_sim({{"--virtual-time"}, {CDBOX_DEVPORT_PROBE_PATH}});
  ASSERT_EQ(run.status, 70) << run.err;
  const std::string open_bit = hex_byte(CDBoxDrawer1OpenBit);
  EXPECT_EQ(run.out,
            "pwrite 0x482 = 1\npread 0x482 = " + open_bit +
                "\nlseek SET 0x482 = 1154\nwrite = 1\nlseek CUR -1 = 1154\nread = " + open_bit +
                "\nlseek CUR 0 = 1155\npread 4 at 0xffff = 1\npread 1 at 0x10000 = "
                "0\npwrite 1 at 0x10000 = 0\n");
  EXPECT_EQ(port_events(run),
            (Strings{"open /dev/port", "out 0x482 0x10", "drawer 1 open", "in 0x482 = " + open_bit,
                     "out 0x482 0x00", "in 0x482 = " + open_bit, "in 0xffff = 0xff",
                     "violation port 0xffff is not the drawer controller's (0x482-0x484)"}));
}

// A task waiting for the port file's answer is not blocked: the virtual
// clock does not jump to another task's deadline while it waits.
TEST_F(DevPortTest, AnswerComesBeforeTheClockMoves) {
  if (const auto why = why_not_served()) {
    GTEST_SKIP() << *why;
  }
  // One reader, so that no wait for a child that has ended comes between
  // its reads: 256 of them, most at foreign ports.
  const SimRun run = run_script(
      {}, "dd if=/dev/port bs=1 skip=$((0x400)) count=256 2>/dev/null >/dev/null & sleep 5; wait");
  ASSERT_EQ(run.status, 70) << run.err;
  std::size_t reads = 0;
  for (const TraceLine& line : run.trace) {
    if (line.text.starts_with("in ")) {
      ++reads;
      EXPECT_EQ(line.time_us, 0) << line.text;
    }
  }
  EXPECT_EQ(reads, 256U);
}

// Without a FUSE mount the open fails, said once; the real file is never
// opened in its place.
TEST_F(DevPortTest, WithoutFuseTheOpenFails) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "opening /dev/port needs CAP_SYS_RAWIO, which only the programs of root hold";
  }
  SimCommand command{{"--virtual-time"},
                     {"/bin/sh", "-c",
                      "dd if=/dev/port bs=1 count=1 2>&1 >/dev/null | grep -c 'No such device'; "
                      "dd of=/dev/port bs=1 count=1 </dev/null 2>/dev/null || echo failed"}};
  command.launcher = {"/usr/bin/env", "TMPDIR=/nonexistent/cdbox-sim-test"};
  const SimRun run = run_sim(command);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "1\nfailed\n");
  EXPECT_EQ(port_events(run), (Strings{"open /dev/port = -ENODEV", "open /dev/port = -ENODEV"}));
  EXPECT_TRUE(
      run.err.starts_with("cdbox-sim: /dev/port: cannot make a mount point "
                          "/nonexistent/cdbox-sim-test/"))
      << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "said more than once: " << run.err;
}

struct NameCase {
  const char* path;
  bool from_dev;  // relative to a descriptor of /dev, else to the working directory
  bool names;
};

// Which opens are of /dev/port: by the name, as the program resolves it.
TEST(DevPortName, ResolvesAsTheProgramWould) {
  const int dev = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dev, 0);
  const NameCase cases[] = {
      {"/dev/port", false, true},
      {"//dev/./port", false, true},
      {"/dev/../dev/port", false, true},
      {"/../dev/port", false, true},
      {"port", true, true},
      {"./port", true, true},
      {"../dev/port", true, true},
      {"/dev/port/", false, false},
      {"/dev/portx", false, false},
      {"/dev/xport", false, false},
      {"/tmp/dev/port", false, false},
      {"dev/port", true, false},
      {"/proc/port", false, false},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(sim::names_dev_port(getpid(), c.from_dev ? dev : AT_FDCWD, c.path), c.names)
        << c.path;
  }
  close(dev);
}

}  // namespace
}  // namespace cdbox::test
