// SPDX-License-Identifier: MIT
// Access to a stopped tracee: its registers, its memory and what /proc says
// of it.
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace cdbox::sim {

// The system call a task is stopped at by seccomp, as the kernel reports it.
struct SyscallStop {
  std::uint32_t arch = 0;  // AUDIT_ARCH_*
  std::uint64_t nr = 0;
  // The arguments as the call's entry reads them: for the 32-bit entry,
  // only the low halves of the registers.
  std::array<std::uint64_t, 6> args{};
};
// nullopt, with errno set, when the kernel cannot tell.
std::optional<SyscallStop> get_seccomp_stop(pid_t tid);

std::optional<user_regs_struct> get_regs(pid_t tid);
bool set_regs(pid_t tid, const user_regs_struct& regs);

// Reads up to out.size() bytes of code at addr as the CPU fetches them, so
// execute-only pages work too (PTRACE_PEEKTEXT). Returns how many bytes
// could be read; err is the errno of the first that could not.
std::size_t read_code(pid_t tid, std::uint64_t addr, std::span<std::uint8_t> out, int& err);
// Reads up to out.size() bytes at addr; returns how many could be read.
std::size_t read_memory(pid_t tid, std::uint64_t addr, std::span<std::uint8_t> out);
// Writes data at addr as the program itself could (not into read-only
// pages); false when not all of it could be written.
bool write_memory(pid_t tid, std::uint64_t addr, std::span<const std::uint8_t> data);
// Reads a NUL-terminated string of at most max bytes at addr.
std::string read_string(pid_t tid, std::uint64_t addr, std::size_t max);

// True when the tracee runs 64-bit code.
bool in_long_mode(const user_regs_struct& regs);

struct ProcessFigures {
  std::uint64_t write_syscalls = 0;  // syscw of /proc/PID/io
  std::uint64_t peak_rss_kb = 0;     // VmHWM of /proc/PID/status
};
// The figures of process pid, with its memory as thread tid sees it (the
// leader may have ended already).
ProcessFigures read_process_figures(pid_t pid, pid_t tid);

// The thread group (process) that tid belongs to; tid itself when unknown.
pid_t thread_group_of(pid_t tid);
// The process that is the parent of tid's process; 0 when unknown.
pid_t parent_process_of(pid_t tid);
// The file that tid now runs, from /proc.
std::string executable_of(pid_t tid);

}  // namespace cdbox::sim
