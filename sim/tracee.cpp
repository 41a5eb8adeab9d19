// SPDX-License-Identifier: MIT
#include "sim/tracee.h"

#include <limits.h>
#include <linux/audit.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

namespace cdbox::sim {
namespace {

// The 64-bit user code segment selector of Linux on x86-64.
constexpr unsigned long long kUserCs64 = 0x33;

// The number behind "Key:" in a /proc file of "Key: value" lines.
std::optional<std::uint64_t> proc_field(const std::string& path, std::string_view key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
      return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<SyscallStop> get_seccomp_stop(pid_t tid) {
  __ptrace_syscall_info info{};
  if (ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) <= 0) {
    return std::nullopt;
  }
  if (info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
    errno = EINVAL;
    return std::nullopt;
  }
  SyscallStop stop;
  stop.arch = info.arch;
  stop.nr = info.seccomp.nr;
  for (std::size_t i = 0; i < stop.args.size(); ++i) {
    stop.args[i] = info.seccomp.args[i];
    if (info.arch == AUDIT_ARCH_I386) {
      stop.args[i] &= 0xffffffff;
    }
  }
  return stop;
}

std::optional<user_regs_struct> get_regs(pid_t tid) {
  user_regs_struct regs{};
  if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) != 0) {
    return std::nullopt;
  }
  return regs;
}

bool set_regs(pid_t tid, const user_regs_struct& regs) {
  return ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0;
}

std::size_t read_code(pid_t tid, std::uint64_t addr, std::span<std::uint8_t> out, int& err) {
  constexpr std::uint64_t kWord = sizeof(long);
  std::size_t got = 0;
  err = 0;
  for (std::uint64_t at = addr & ~(kWord - 1); got < out.size(); at += kWord) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKTEXT, tid, at, nullptr);
    if (errno != 0) {
      err = errno;
      break;
    }
    std::uint8_t bytes[kWord];
    std::memcpy(bytes, &word, kWord);
    for (std::uint64_t i = at < addr ? addr - at : 0; i < kWord && got < out.size(); ++i) {
      out[got++] = bytes[i];
    }
  }
  return got;
}

std::size_t read_memory(pid_t tid, std::uint64_t addr, std::span<std::uint8_t> out) {
  iovec local{out.data(), out.size()};
  iovec remote{reinterpret_cast<void*>(addr), out.size()};
  const ssize_t got = process_vm_readv(tid, &local, 1, &remote, 1, 0);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool write_memory(pid_t tid, std::uint64_t addr, std::span<const std::uint8_t> data) {
  iovec local{const_cast<std::uint8_t*>(data.data()), data.size()};
  iovec remote{reinterpret_cast<void*>(addr), data.size()};
  return process_vm_writev(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(data.size());
}

std::string read_string(pid_t tid, std::uint64_t addr, std::size_t max) {
  std::string text;
  std::uint8_t chunk[256];
  while (text.size() < max) {
    // Read no further than the end of the page, which may be the last one
    // mapped.
    const std::uint64_t to_page_end = 4096 - (addr % 4096);
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>({sizeof chunk, to_page_end, max - text.size()}));
    const std::size_t got = read_memory(tid, addr, std::span(chunk, want));
    if (got == 0) {
      break;
    }
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(chunk, 0, got));
    if (nul != nullptr) {
      text.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(nul - chunk));
      break;
    }
    text.append(reinterpret_cast<const char*>(chunk), got);
    addr += got;
  }
  return text;
}

bool in_long_mode(const user_regs_struct& regs) {
  return regs.cs == kUserCs64;
}

ProcessFigures read_process_figures(pid_t pid, pid_t tid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  ProcessFigures figures;
  figures.write_syscalls = proc_field(dir + "/io", "syscw").value_or(0);
  figures.peak_rss_kb =
      proc_field(dir + "/task/" + std::to_string(tid) + "/status", "VmHWM").value_or(0);
  return figures;
}

pid_t thread_group_of(pid_t tid) {
  auto tgid = proc_field("/proc/" + std::to_string(tid) + "/status", "Tgid");
  return tgid && *tgid > 0 ? static_cast<pid_t>(*tgid) : tid;
}

pid_t parent_process_of(pid_t tid) {
  auto ppid = proc_field("/proc/" + std::to_string(tid) + "/status", "PPid");
  return ppid ? static_cast<pid_t>(*ppid) : 0;
}

std::string executable_of(pid_t tid) {
  char path[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(tid) + "/exe";
  const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string("?");
}

}  // namespace cdbox::sim
