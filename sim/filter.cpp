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

sock_filter trace_as(TrappedCall call) {
  return BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | static_cast<std::uint32_t>(call));
}

sock_filter load_arg_word(unsigned arg, bool high) {
  const auto offset =
      static_cast<std::uint32_t>(offsetof(seccomp_data, args) + std::size_t{8} * arg);
  return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset + (high ? 4U : 0U));
}

// The tail of a block for one call (its number matched already) that is
// trapped only as a pure wait: select and pselect6 when nfds is 0 or all
// three sets are NULL.
std::vector<sock_filter> select_body(TrappedCall call) {
  std::vector<sock_filter> body;
  constexpr std::uint8_t kSetWords = 6;  // three pointers of two words
  body.push_back(load_arg_word(0, false));
  // Past the six set-word tests (two instructions each) to the trap.
  body.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 2 * kSetWords, 0));
  for (std::uint8_t word = 0; word < kSetWords; ++word) {
    body.push_back(load_arg_word(1 + word / 2, word % 2 != 0));
    // Not NULL: on to the final allow.
    body.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0,
                            static_cast<std::uint8_t>(2 * (kSetWords - word) - 1)));
  }
  body.push_back(trace_as(call));
  body.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return body;
}

// The same for poll and ppoll: trapped when nfds is 0.
std::vector<sock_filter> poll_body(TrappedCall call) {
  return {load_arg_word(1, false), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1), trace_as(call),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
}

struct ArgTrap {
  std::uint32_t nr;
  std::vector<sock_filter> body;
};

// Appends a block that traps the listed calls (those of arg_traps when
// their arguments say so) and allows the rest. It runs with the
// architecture in the accumulator and is entered only when that
// architecture is arch; otherwise it is jumped over.
void add_arch_block(std::vector<sock_filter>& program, std::uint32_t arch,
                    const std::vector<Trap>& traps, const std::vector<ArgTrap>& arg_traps = {}) {
  std::vector<sock_filter> block;
  block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const Trap& trap : traps) {
    block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0, 1));
    block.push_back(trace_as(trap.call));
  }
  // Each body ends in a return, so the accumulator it loads never
  // reaches the next test.
  for (const ArgTrap& trap : arg_traps) {
    block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0,
                             static_cast<std::uint8_t>(trap.body.size())));
    block.insert(block.end(), trap.body.begin(), trap.body.end());
  }
  block.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  program.push_back(
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, static_cast<std::uint8_t>(block.size())));
  program.insert(program.end(), block.begin(), block.end());
}

std::vector<sock_filter> build_filter(bool trap_clock_reads) {
  std::vector<Trap> native = {
      {SYS_iopl, TrappedCall::Iopl},           {SYS_ioperm, TrappedCall::Ioperm},
      {SYS_iopl | kX32Bit, TrappedCall::Iopl}, {SYS_ioperm | kX32Bit, TrappedCall::Ioperm},
      {SYS_nanosleep, TrappedCall::Nanosleep}, {SYS_clock_nanosleep, TrappedCall::ClockNanosleep},
      {SYS_execve, TrappedCall::Execve},       {SYS_execveat, TrappedCall::Execveat},
  };
  if (trap_clock_reads) {
    native.insert(native.end(), {{SYS_clock_gettime, TrappedCall::ClockGettime},
                                 {SYS_gettimeofday, TrappedCall::Gettimeofday},
                                 {SYS_time, TrappedCall::Time}});
  }
  // Waits that watch descriptors run at full speed.
  const std::vector<ArgTrap> pure_waits = {
      {SYS_select, select_body(TrappedCall::Select)},
      {SYS_pselect6, select_body(TrappedCall::Pselect6)},
      {SYS_poll, poll_body(TrappedCall::Poll)},
      {SYS_ppoll, poll_body(TrappedCall::Ppoll)},
  };
  // A 64-bit program can still reach the 32-bit entry with int 0x80; the
  // privilege calls must not get through that way either.
  const std::vector<Trap> compat = {
      {kI386Iopl, TrappedCall::Iopl32},
      {kI386Ioperm, TrappedCall::Ioperm32},
  };
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  add_arch_block(program, AUDIT_ARCH_X86_64, native, pure_waits);
  add_arch_block(program, AUDIT_ARCH_I386, compat);
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

}  // namespace

int install_syscall_filter(bool trap_clock_reads) {
  std::vector<sock_filter> program = build_filter(trap_clock_reads);
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
