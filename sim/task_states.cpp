// SPDX-License-Identifier: MIT
#include "sim/task_states.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "sim/unique_fd.h"

namespace cdbox::sim {
namespace {

// The text of /proc/TID/NAME, at most a few KiB; empty when unreadable.
std::string read_proc(pid_t tid, const char* name) {
  const std::string path = "/proc/" + std::to_string(tid) + "/" + name;
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return {};
  }
  char buffer[4096];
  const ssize_t got = read(fd.get(), buffer, sizeof buffer - 1);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

// The hexadecimal mask after "Key:" in /proc/TID/status.
std::uint64_t status_mask(std::string_view status, std::string_view key) {
  const std::size_t at = status.find(key);
  if (at == std::string_view::npos) {
    return 0;
  }
  const std::string field(status.substr(at + key.size(), 17));
  return std::strtoull(field.c_str(), nullptr, 16);
}

constexpr std::uint64_t bit_of(int sig) {
  return std::uint64_t{1} << (sig - 1);
}

// Signals whose default action neither stops nor ignores: they end the
// process.
constexpr std::uint64_t kNotFatalByDefault = bit_of(SIGCHLD) | bit_of(SIGCONT) | bit_of(SIGURG) |
                                             bit_of(SIGWINCH) | bit_of(SIGSTOP) | bit_of(SIGTSTP) |
                                             bit_of(SIGTTIN) | bit_of(SIGTTOU);

}  // namespace

bool interrupts_sleep(std::uint64_t pending, std::uint64_t blocked, std::uint64_t ignored,
                      std::uint64_t caught) {
  const std::uint64_t deliverable = pending & ~blocked & ~ignored;
  return (deliverable & (caught | ~kNotFatalByDefault)) != 0;
}

char ProcTaskStates::state(pid_t tid) {
  const std::string stat = read_proc(tid, "stat");
  // The state follows the command name, which may hold blanks and ')'.
  const std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

std::optional<std::int64_t> ProcTaskStates::cpu_ns(pid_t tid) {
  const std::string schedstat = read_proc(tid, "schedstat");
  if (schedstat.empty()) {
    return std::nullopt;
  }
  return std::strtoll(schedstat.c_str(), nullptr, 10);
}

bool ProcTaskStates::interrupting_signal_pending(pid_t tid) {
  const std::string status = read_proc(tid, "status");
  const std::uint64_t pending = status_mask(status, "\nSigPnd:") | status_mask(status, "\nShdPnd:");
  return interrupts_sleep(pending, status_mask(status, "\nSigBlk:"),
                          status_mask(status, "\nSigIgn:"), status_mask(status, "\nSigCgt:"));
}

}  // namespace cdbox::sim
