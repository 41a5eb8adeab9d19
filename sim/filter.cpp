// SPDX-License-Identifier: MIT
#include "sim/filter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace cdbox::sim {
namespace {

// System call numbers of the 32-bit entry; <sys/syscall.h> has only the
// 64-bit ones here.
constexpr std::uint32_t kI386Ioperm = 101;
constexpr std::uint32_t kI386Iopl = 110;
constexpr std::uint32_t kX32Bit = 0x40000000;

struct Trap {
  std::uint32_t nr;
  TrappedCall call;
};

// Appends a block that traps the listed calls and allows the rest. It runs
// with the architecture in the accumulator and is entered only when that
// architecture is arch; otherwise it is jumped over.
void add_arch_block(std::vector<sock_filter>& program, std::uint32_t arch,
                    const std::vector<Trap>& traps) {
  const auto block_length = static_cast<std::uint8_t>(1 + 2 * traps.size() + 1);
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, block_length));
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const Trap& trap : traps) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0, 1));
    program.push_back(
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | static_cast<std::uint32_t>(trap.call)));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
}

std::vector<sock_filter> build_filter() {
  const std::vector<Trap> native = {
      {SYS_iopl, TrappedCall::Iopl},           {SYS_ioperm, TrappedCall::Ioperm},
      {SYS_iopl | kX32Bit, TrappedCall::Iopl}, {SYS_ioperm | kX32Bit, TrappedCall::Ioperm},
      {SYS_nanosleep, TrappedCall::Nanosleep}, {SYS_clock_nanosleep, TrappedCall::ClockNanosleep},
      {SYS_execve, TrappedCall::Execve},       {SYS_execveat, TrappedCall::Execveat},
  };
  // A 64-bit program can still reach the 32-bit entry with int 0x80; the
  // privilege calls must not get through that way either.
  const std::vector<Trap> compat = {
      {kI386Iopl, TrappedCall::Iopl32},
      {kI386Ioperm, TrappedCall::Ioperm32},
  };
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  add_arch_block(program, AUDIT_ARCH_X86_64, native);
  add_arch_block(program, AUDIT_ARCH_I386, compat);
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

}  // namespace cdbox::sim
