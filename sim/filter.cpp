// SPDX-License-Identifier: MIT
#include "sim/filter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <vector>

namespace cdbox::sim {
namespace {

// System call numbers of the 32-bit entry; <sys/syscall.h> has only the
// 64-bit ones here.
constexpr std::uint32_t kI386Ioperm = 101;
constexpr std::uint32_t kI386Iopl = 110;
constexpr std::uint32_t kI386Clone = 120;
constexpr std::uint32_t kI386Clone3 = 435;
constexpr std::uint32_t kX32Bit = 0x40000000;

struct Trap {
  std::uint32_t arch;
  std::uint32_t nr;
  TrappedCall call;
  // When not 0: trapped only when the first argument has this bit set.
  std::uint32_t only_with_flag = 0;
};

// Every call the filter traps. A 64-bit program can still reach the 32-bit
// entry with int 0x80; the privilege calls must not get through that way
// either.
// clone is trapped only when it would make a child the tracer does not
// follow.
constexpr std::array<Trap, 16> kTraps = {{
    {AUDIT_ARCH_X86_64, SYS_iopl, TrappedCall::Iopl},
    {AUDIT_ARCH_X86_64, SYS_ioperm, TrappedCall::Ioperm},
    {AUDIT_ARCH_X86_64, SYS_iopl | kX32Bit, TrappedCall::Iopl},
    {AUDIT_ARCH_X86_64, SYS_ioperm | kX32Bit, TrappedCall::Ioperm},
    {AUDIT_ARCH_X86_64, SYS_nanosleep, TrappedCall::Nanosleep},
    {AUDIT_ARCH_X86_64, SYS_clock_nanosleep, TrappedCall::ClockNanosleep},
    {AUDIT_ARCH_X86_64, SYS_execve, TrappedCall::Execve},
    {AUDIT_ARCH_X86_64, SYS_execveat, TrappedCall::Execveat},
    {AUDIT_ARCH_I386, kI386Iopl, TrappedCall::Iopl},
    {AUDIT_ARCH_I386, kI386Ioperm, TrappedCall::Ioperm},
    {AUDIT_ARCH_X86_64, SYS_clone, TrappedCall::Clone, CLONE_UNTRACED},
    {AUDIT_ARCH_X86_64, SYS_clone | kX32Bit, TrappedCall::Clone, CLONE_UNTRACED},
    {AUDIT_ARCH_X86_64, SYS_clone3, TrappedCall::Clone3},
    {AUDIT_ARCH_X86_64, SYS_clone3 | kX32Bit, TrappedCall::Clone3},
    {AUDIT_ARCH_I386, kI386Clone, TrappedCall::Clone, CLONE_UNTRACED},
    {AUDIT_ARCH_I386, kI386Clone3, TrappedCall::Clone3},
}};

// Appends a block that traps the calls of arch and allows the rest. It runs
// with the architecture in the accumulator and is entered only when that
// architecture is arch; otherwise it is jumped over.
void add_arch_block(std::vector<sock_filter>& program, std::uint32_t arch) {
  std::vector<sock_filter> block;
  block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const Trap& trap : kTraps) {
    if (trap.arch == arch) {
      // The data is for the reader of a trace; the tracer goes by the call
      // number the kernel reports, which a program's own filter cannot
      // change.
      const sock_filter trace =
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | static_cast<std::uint32_t>(trap.call));
      if (trap.only_with_flag == 0) {
        block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0, 1));
        block.push_back(trace);
        continue;
      }
      // The low half of the first argument (little endian); every way out
      // returns, so the call number need not be loaded again.
      block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0, 4));
      block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args)));
      block.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, trap.only_with_flag, 0, 1));
      block.push_back(trace);
      block.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
  }
  block.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  program.push_back(
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, static_cast<std::uint8_t>(block.size())));
  program.insert(program.end(), block.begin(), block.end());
}

std::vector<sock_filter> build_filter() {
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  add_arch_block(program, AUDIT_ARCH_X86_64);
  add_arch_block(program, AUDIT_ARCH_I386);
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

}  // namespace

int install_syscall_filter() {
  std::vector<sock_filter> program = build_filter();
  sock_fprog fprog{};
  fprog.len = static_cast<unsigned short>(program.size());
  fprog.filter = program.data();
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) == 0) {
    return 0;
  }
  // Without CAP_SYS_ADMIN a filter needs no_new_privs.
  if (errno == EACCES && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) == 0) {
    return 0;
  }
  return errno;
}

std::optional<TrappedCall> trapped_call(std::uint32_t arch, std::uint64_t nr) {
  for (const Trap& trap : kTraps) {
    if (trap.arch == arch && trap.nr == nr) {
      return trap.call;
    }
  }
  return std::nullopt;
}

}  // namespace cdbox::sim
