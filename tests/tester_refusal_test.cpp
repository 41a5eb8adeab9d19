// SPDX-License-Identifier: MIT
// A refused iopl under cdbox-sim: the refusal report, then the one hint line
// that fits what the tester can see (its uid, the kernel's lockdown mode).
// Rows that need root, another uid or a lockdown file of their own are
// skipped with the reason when the tests cannot arrange it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "tests/harness/platform.h"
#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

constexpr char kLockdownPath[] = "/sys/kernel/security/lockdown";
// The uid and gid of "nobody", for the rows run as an ordinary user.
constexpr char kNobody[] = "65534";

const std::string kHintNotRoot =
    "cdbox-test: hint: run it as root (sudo cdbox-test): port I/O needs CAP_SYS_RAWIO\n";
const std::string kHintTakenAway =
    "cdbox-test: hint: port I/O is refused even to root: something outside the tool takes it "
    "away (a container or sandbox without CAP_SYS_RAWIO, a seccomp policy, a virtual machine); "
    "run it on the terminal's own system\n";
const std::string kHintNoKernelSupport =
    "cdbox-test: hint: the kernel was built without CONFIG_X86_IOPL_IOPERM; check with: "
    "grep CONFIG_X86_IOPL_IOPERM /boot/config-$(uname -r)\n";

std::string lockdown_hint(const std::string& mode) {
  return "cdbox-test: hint: the kernel is in lockdown mode \"" + mode +
         "\" and refuses port I/O even to root, usually because Secure Boot is on: turn Secure "
         "Boot off in the firmware setup\n";
}

// Mounts an empty tmpfs over the kernel's security directory in a private
// mount namespace, puts $1 there as the lockdown file (none when $1 is
// empty) with its access time at 0, runs the rest and then writes the
// file's access time to $2. Nothing of it is seen outside the namespace.
constexpr char kLockdownScript[] =
    "mount -t tmpfs -o strictatime,mode=0755 cdbox-test /sys/kernel/security || exit 125\n"
    "f=/sys/kernel/security/lockdown\n"
    "if [ -n \"$1\" ]; then printf %s \"$1\" >$f && touch -a -d @0 $f || exit 125; fi\n"
    "atime=$2\n"
    "shift 2\n"
    "\"$@\"\n"
    "status=$?\n"
    "if [ -e $f ]; then stat -c %X $f >\"$atime\"; fi\n"
    "exit $status\n";

Strings private_lockdown(const std::string& text, const std::string& atime_path) {
  return {"/usr/bin/unshare", "--mount", "--propagation",
          "private",          "/bin/sh", "-c",
          kLockdownScript,    "sh",      text,
          atime_path};
}

bool is_root() {
  return geteuid() == 0;
}

// This machine's own lockdown mode shows in the root rows that do not bring
// their own file: they expect it off.
bool machine_is_in_lockdown() {
  const std::string text = read_file(kLockdownPath);
  return !text.empty() && text.find("[none]") == std::string::npos;
}

enum class Who {
  AsTheTests,  // whoever runs the tests
  Root,        // root; skipped otherwise
  User,        // an ordinary user: nobody when the tests run as root
};

struct RefusalCase {
  const char* name;
  const char* error;  // errno name that cdbox-sim makes iopl fail with
  Who who;
  // The lockdown file the tester finds, in a private mount namespace;
  // "" for none there; nullopt for the machine's own.
  std::optional<std::string> lockdown;
  std::string description;  // perror's text for error
  std::string hint;         // the hint line, "" for none
  bool reads_lockdown;      // whether the tester reads the lockdown file
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, ReportsThenHintsWithoutTouchingAPort) {
  const RefusalCase& c = GetParam();
  if (c.who == Who::Root && !is_root()) {
    GTEST_SKIP() << "needs the tests to run as root";
  }
  if (c.lockdown) {
    CDBOX_SKIP_UNLESS(Feature::PrivateSecurityfs);
  }
  if (c.who == Who::Root && !c.lockdown && machine_is_in_lockdown()) {
    GTEST_SKIP() << "this machine's kernel is in lockdown mode; the rows with a lockdown file of "
                    "their own cover it";
  }
  TempDir dir;
  const std::string atime_path = dir.file("atime");
  SimCommand command{
      {"--virtual-time", std::string("--refuse-iopl=") + c.error}, {tester_path()}, "1\n"};
  if (c.lockdown) {
    command.launcher = private_lockdown(*c.lockdown, atime_path);
  }
  TempDir programs;
  if (c.who == Who::User && is_root()) {
    command.sim = copy_for_any_user(programs, sim_path());
    command.program = {copy_for_any_user(programs, tester_path())};
    command.launcher.insert(command.launcher.end(),
                            {"/usr/bin/setpriv", std::string("--reuid=") + kNobody,
                             std::string("--regid=") + kNobody, "--clear-groups"});
  }
  const SimRun run = run_sim(command);
  ASSERT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "");
  // The refusal report stays first and whole; the hint follows it.
  EXPECT_EQ(run.err, "iopl set error\n: " + c.description + "\n" + c.hint);
  EXPECT_EQ(run.events(), (Strings{"exec", std::string("iopl 3 = -") + c.error, "exit 1"}));
  if (c.lockdown && !c.lockdown->empty()) {
    EXPECT_EQ(read_file(atime_path) != "0\n", c.reads_lockdown)
        << "access time of the lockdown file: " << read_file(atime_path);
  }
}

const std::string kLockdownOff = "[none] integrity confidentiality\n";
const std::string kLockdownIntegrity = "none [integrity] confidentiality\n";
const std::string kLockdownConfidentiality = "none integrity [confidentiality]\n";

INSTANTIATE_TEST_SUITE_P(
    Causes, RefusalTest,
    ::testing::Values(
        RefusalCase{"NotRoot", "EPERM", Who::User, std::nullopt, "Operation not permitted",
                    kHintNotRoot, false},
        RefusalCase{"NotRootEvenInLockdown", "EPERM", Who::User, kLockdownIntegrity,
                    "Operation not permitted", kHintNotRoot, false},
        RefusalCase{"RootOutsideLockdown", "EPERM", Who::Root, std::nullopt,
                    "Operation not permitted", kHintTakenAway, false},
        RefusalCase{"RootLockdownNone", "EPERM", Who::Root, kLockdownOff, "Operation not permitted",
                    kHintTakenAway, true},
        RefusalCase{"RootNoLockdownFile", "EPERM", Who::Root, "", "Operation not permitted",
                    kHintTakenAway, false},
        RefusalCase{"RootLockdownIntegrity", "EPERM", Who::Root, kLockdownIntegrity,
                    "Operation not permitted", lockdown_hint("integrity"), true},
        RefusalCase{"RootLockdownConfidentiality", "EPERM", Who::Root, kLockdownConfidentiality,
                    "Operation not permitted", lockdown_hint("confidentiality"), true},
        RefusalCase{"RootLockdownWithoutNewline", "EPERM", Who::Root,
                    "none [integrity] confidentiality", "Operation not permitted",
                    lockdown_hint("integrity"), true},
        // What is not a plain mode name never reaches the terminal.
        RefusalCase{"RootLockdownEscapeSequence", "EPERM", Who::Root,
                    "none [\x1b[2Jintegrity] confidentiality\n", "Operation not permitted",
                    kHintTakenAway, true},
        RefusalCase{"RootLockdownEmptyBrackets", "EPERM", Who::Root, "none [] integrity\n",
                    "Operation not permitted", kHintTakenAway, true},
        RefusalCase{"RootLockdownUnclosedBracket", "EPERM", Who::Root, "none [integrity",
                    "Operation not permitted", kHintTakenAway, true},
        RefusalCase{"RootLockdownModeTooLong", "EPERM", Who::Root,
                    "none [" + std::string(40, 'x') + "]\n", "Operation not permitted",
                    kHintTakenAway, true},
        RefusalCase{"NoKernelSupport", "ENOSYS", Who::AsTheTests, std::nullopt,
                    "Function not implemented", kHintNoKernelSupport, false},
        RefusalCase{"NoKernelSupportAsUser", "ENOSYS", Who::User, std::nullopt,
                    "Function not implemented", kHintNoKernelSupport, false},
        RefusalCase{"NoKernelSupportInLockdown", "ENOSYS", Who::Root, kLockdownIntegrity,
                    "Function not implemented", kHintNoKernelSupport, false},
        // No advice for an error iopl(2) does not give for these causes.
        RefusalCase{"OtherError", "EINVAL", Who::AsTheTests, std::nullopt, "Invalid argument", "",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

// The lockdown file is read after a refusal only: a session that was let
// in leaves it untouched.
TEST(Lockdown, NotReadWhenThePrivilegeIsGranted) {
  CDBOX_SKIP_UNLESS(Feature::PrivateSecurityfs);
  TempDir dir;
  const std::string atime_path = dir.file("atime");
  SimCommand command{{"--virtual-time"}, {tester_path()}, "1\n"};
  command.launcher = private_lockdown(kLockdownIntegrity, atime_path);
  const SimRun run = run_sim(command);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expected_session(0, "1"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(atime_path), "0\n");
}

}  // namespace
}  // namespace cdbox::test
