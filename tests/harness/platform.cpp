// SPDX-License-Identifier: MIT
#include "tests/harness/platform.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

namespace cdbox::test {
namespace {

std::string errno_text(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

// A child that only waits to be killed.
pid_t idle_child() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) {
      pause();
    }
  }
  return pid;
}

void reap(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::optional<std::string> probe_ptrace() {
  const pid_t child = idle_child();
  if (child < 0) {
    return errno_text("cannot fork to probe ptrace", errno);
  }
  const bool traced = ptrace(PTRACE_SEIZE, child, nullptr, 0) == 0;
  const int err = errno;
  reap(child);
  if (!traced) {
    return errno_text(
        "ptrace of a child is refused here (kernel.yama.ptrace_scope, a container's seccomp "
        "profile or a missing CAP_SYS_PTRACE), and cdbox-sim needs it; PTRACE_SEIZE",
        err);
  }
  return std::nullopt;
}

std::optional<std::string> probe_seccomp_trace() {
  std::uint32_t action = SECCOMP_RET_TRACE;
  if (syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) != 0) {
    return errno_text(
        "this kernel has no seccomp filters that hand calls to a tracer (CONFIG_SECCOMP_FILTER), "
        "and cdbox-sim needs them; SECCOMP_GET_ACTION_AVAIL",
        errno);
  }
  return std::nullopt;
}

// getpid through int 0x80, in a child, since a kernel without the 32-bit
// entry answers it with SIGSEGV.
std::optional<std::string> probe_compat_entry() {
  const pid_t child = fork();
  if (child < 0) {
    return errno_text("cannot fork to probe int 0x80", errno);
  }
  if (child == 0) {
    // A sanitizer's own handler would turn the fault into a report.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &plain, nullptr);
    long result = 20;  // __NR_getpid of i386
    asm volatile("int $0x80" : "+a"(result) : : "memory");
    _exit(result == getpid() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) {
    return std::string("int 0x80 from 64-bit code gets SIG") + sigabbrev_np(WTERMSIG(status)) +
           " on this kernel: it has no 32-bit system call entry (CONFIG_IA32_EMULATION off, or "
           "ia32_emulation=0)";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "getpid through int 0x80 does not return the process id on this kernel";
  }
  return std::nullopt;
}

std::optional<std::string> probe_pseudo_terminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    return errno_text("no pseudo-terminal here (/dev/ptmx)", errno);
  }
  std::optional<std::string> why;
  const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    why = errno_text("cannot open a pseudo-terminal's other end (/dev/pts)", errno);
  } else {
    close(slave);
  }
  close(master);
  return why;
}

std::optional<std::string> probe_private_securityfs() {
  if (geteuid() != 0) {
    return "needs the tests to run as root, to mount a lockdown file of its own";
  }
  if (std::system("/usr/bin/unshare --mount --propagation private /bin/sh -c "
                  "'mount -t tmpfs cdbox-test /sys/kernel/security' 2>/dev/null") != 0) {
    return "a mount over /sys/kernel/security in a private mount namespace (unshare --mount) is "
           "refused here, and the rows with a lockdown file of their own need it";
  }
  return std::nullopt;
}

std::optional<std::string> probe(Feature feature) {
  switch (feature) {
    case Feature::Ptrace:
      return probe_ptrace();
    case Feature::SeccompTrace:
      return probe_seccomp_trace();
    case Feature::CompatEntry:
      return probe_compat_entry();
    case Feature::PseudoTerminal:
      return probe_pseudo_terminal();
    case Feature::PrivateSecurityfs:
      return probe_private_securityfs();
  }
  return "unknown feature";
}

}  // namespace

std::optional<std::string> missing(Feature feature) {
  static std::map<Feature, std::optional<std::string>> known;
  const auto it = known.find(feature);
  if (it != known.end()) {
    return it->second;
  }
  return known[feature] = probe(feature);
}

}  // namespace cdbox::test
