// SPDX-License-Identifier: MIT
#include "sim/launcher.h"

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sim/capabilities.h"
#include "sim/filter.h"
#include "sim/options.h"

namespace cdbox::sim {
namespace {

constexpr long kTraceOptions = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                               PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT |
                               PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;

bool is_executable_file(const std::string& path, int& err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
    return false;
  }
  if (access(path.c_str(), X_OK) != 0) {
    err = errno;
    return false;
  }
  return true;
}

// Finds program as execvp would; on failure reports and returns the status.
int resolve_program(const std::string& name, std::string& path) {
  if (name.find('/') != std::string::npos) {
    int err = 0;
    if (is_executable_file(name, err)) {
      path = name;
      return 0;
    }
    std::fprintf(stderr, "cdbox-sim: cannot run '%s': %s\n", name.c_str(), std::strerror(err));
    return err == ENOENT ? kExitNotFound : kExitCannotExecute;
  }
  const char* env_path = std::getenv("PATH");
  std::string_view dirs = env_path != nullptr ? env_path : "/usr/local/bin:/usr/bin:/bin";
  int denied = 0;
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    int err = 0;
    if (is_executable_file(candidate, err)) {
      path = candidate;
      return 0;
    }
    if (err != ENOENT && err != ENOTDIR) {
      denied = err;
    }
    if (colon == std::string_view::npos) {
      break;
    }
    dirs.remove_prefix(colon + 1);
  }
  if (denied != 0) {
    std::fprintf(stderr, "cdbox-sim: cannot run '%s': %s\n", name.c_str(), std::strerror(denied));
    return kExitCannotExecute;
  }
  std::fprintf(stderr, "cdbox-sim: %s: command not found; check the name and PATH\n", name.c_str());
  return kExitNotFound;
}

[[noreturn]] void report_and_exit(int fd, LaunchReport::Stage stage, int err) {
  const LaunchReport report{stage, err};
  [[maybe_unused]] const ssize_t written = write(fd, &report, sizeof report);
  _exit(kExitSimFailure);
}

// The child: waits until it is seized, gives up its hardware privilege,
// installs the filter, runs PROGRAM.
[[noreturn]] void run_child(int go_fd, int report_fd, const std::string& path,
                            const std::vector<std::string>& program, bool virtual_time,
                            const sigset_t& signal_mask) {
  sigprocmask(SIG_SETMASK, &signal_mask, nullptr);
  char go = 0;
  if (read(go_fd, &go, 1) != 1) {
    _exit(kExitSimFailure);
  }
  // First the real privilege goes; the filter comes after, since iopl and
  // ioperm are trapped once it is in place.
  if (int err = give_up_hardware_access(); err != 0) {
    report_and_exit(report_fd, LaunchReport::Privilege, err);
  }
  if (int err = install_syscall_filter(virtual_time); err != 0) {
    report_and_exit(report_fd, LaunchReport::Filter, err);
  }
  std::vector<char*> argv;
  argv.reserve(program.size() + 1);
  for (const std::string& arg : program) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  execv(path.c_str(), argv.data());
  report_and_exit(report_fd, LaunchReport::Exec, errno);
}

}  // namespace

int launch(const std::vector<std::string>& program, bool virtual_time,
           const sigset_t& signal_mask, Launched& launched) {
  std::string path;
  if (int status = resolve_program(program.front(), path); status != 0) {
    return status;
  }
  int go[2];
  int report[2];
  if (pipe2(go, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "cdbox-sim: cannot make a pipe: %s\n", std::strerror(errno));
    return kExitSimFailure;
  }
  UniqueFd go_read(go[0]);
  UniqueFd go_write(go[1]);
  UniqueFd report_read(report[0]);
  UniqueFd report_write(report[1]);

  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "cdbox-sim: cannot fork: %s\n", std::strerror(errno));
    return kExitSimFailure;
  }
  if (pid == 0) {
    run_child(go_read.get(), report_write.get(), path, program, virtual_time, signal_mask);
  }
  if (ptrace(PTRACE_SEIZE, pid, nullptr, kTraceOptions) != 0) {
    const int err = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::fprintf(stderr,
                 "cdbox-sim: cannot trace '%s': %s; allow ptrace here (CAP_SYS_PTRACE, "
                 "kernel.yama.ptrace_scope, container seccomp profile)\n",
                 program.front().c_str(), std::strerror(err));
    return kExitSimFailure;
  }
  const char start = 1;
  if (write(go_write.get(), &start, 1) != 1) {
    kill(pid, SIGKILL);
    return kExitSimFailure;
  }
  launched.pid = pid;
  launched.report = std::move(report_read);
  return 0;
}

int explain_launch_report(const LaunchReport& report, const std::string& program) {
  if (report.stage == LaunchReport::Filter) {
    std::fprintf(stderr,
                 "cdbox-sim: cannot install the system call filter: %s; the kernel needs "
                 "seccomp filter support\n",
                 std::strerror(report.err));
    return kExitSimFailure;
  }
  if (report.stage == LaunchReport::Privilege) {
    std::fprintf(stderr,
                 "cdbox-sim: cannot take hardware privilege away from '%s': %s; the program "
                 "is not run\n",
                 program.c_str(), std::strerror(report.err));
    return kExitSimFailure;
  }
  std::fprintf(stderr, "cdbox-sim: cannot run '%s': %s\n", program.c_str(),
               std::strerror(report.err));
  return report.err == ENOENT ? kExitNotFound : kExitCannotExecute;
}

}  // namespace cdbox::sim
