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
constexpr std::uint32_t kI386Open = 5;
constexpr std::uint32_t kI386Openat = 295;
constexpr std::uint32_t kI386Openat2 = 437;
constexpr std::uint32_t kX32Bit = 0x40000000;

// When a listed call is trapped.
enum class When {
  Always,
  Untraced,         // clone asking for CLONE_UNTRACED: a child not followed
  SelectOnNothing,  // select, pselect6: nfds 0 or all three sets NULL
  PollOnNothing,    // poll, ppoll: nfds 0
  ReadingTheClock,  // only in virtual time
};

struct Trap {
  std::uint32_t arch;
  std::uint32_t nr;
  TrappedCall call;
  When when = When::Always;
};

// Every call the filter traps. A 64-bit program can still reach the 32-bit
// entry with int 0x80; the privilege calls, clone and the opens must not get
// through that way either. Waits that watch descriptors run at full speed.
constexpr std::array<Trap, 32> kTraps = {{
    {AUDIT_ARCH_X86_64, SYS_iopl, TrappedCall::Iopl},
    {AUDIT_ARCH_X86_64, SYS_ioperm, TrappedCall::Ioperm},
    {AUDIT_ARCH_X86_64, SYS_iopl | kX32Bit, TrappedCall::Iopl},
    {AUDIT_ARCH_X86_64, SYS_ioperm | kX32Bit, TrappedCall::Ioperm},
    {AUDIT_ARCH_X86_64, SYS_nanosleep, TrappedCall::Nanosleep},
    {AUDIT_ARCH_X86_64, SYS_clock_nanosleep, TrappedCall::ClockNanosleep},
    {AUDIT_ARCH_X86_64, SYS_execve, TrappedCall::Execve},
    {AUDIT_ARCH_X86_64, SYS_execveat, TrappedCall::Execveat},
    {AUDIT_ARCH_X86_64, SYS_clone, TrappedCall::Clone, When::Untraced},
    {AUDIT_ARCH_X86_64, SYS_clone | kX32Bit, TrappedCall::Clone, When::Untraced},
    {AUDIT_ARCH_X86_64, SYS_clone3, TrappedCall::Clone3},
    {AUDIT_ARCH_X86_64, SYS_clone3 | kX32Bit, TrappedCall::Clone3},
    {AUDIT_ARCH_X86_64, SYS_select, TrappedCall::Select, When::SelectOnNothing},
    {AUDIT_ARCH_X86_64, SYS_pselect6, TrappedCall::Pselect6, When::SelectOnNothing},
    {AUDIT_ARCH_X86_64, SYS_poll, TrappedCall::Poll, When::PollOnNothing},
    {AUDIT_ARCH_X86_64, SYS_ppoll, TrappedCall::Ppoll, When::PollOnNothing},
    {AUDIT_ARCH_X86_64, SYS_open, TrappedCall::Open},
    {AUDIT_ARCH_X86_64, SYS_openat, TrappedCall::Openat},
    {AUDIT_ARCH_X86_64, SYS_openat2, TrappedCall::Openat2},
    {AUDIT_ARCH_X86_64, SYS_open | kX32Bit, TrappedCall::Open},
    {AUDIT_ARCH_X86_64, SYS_openat | kX32Bit, TrappedCall::Openat},
    {AUDIT_ARCH_X86_64, SYS_openat2 | kX32Bit, TrappedCall::Openat2},
    {AUDIT_ARCH_X86_64, SYS_clock_gettime, TrappedCall::ClockGettime, When::ReadingTheClock},
    {AUDIT_ARCH_X86_64, SYS_gettimeofday, TrappedCall::Gettimeofday, When::ReadingTheClock},
    {AUDIT_ARCH_X86_64, SYS_time, TrappedCall::Time, When::ReadingTheClock},
    {AUDIT_ARCH_I386, kI386Iopl, TrappedCall::Iopl},
    {AUDIT_ARCH_I386, kI386Ioperm, TrappedCall::Ioperm},
    {AUDIT_ARCH_I386, kI386Clone, TrappedCall::Clone, When::Untraced},
    {AUDIT_ARCH_I386, kI386Clone3, TrappedCall::Clone3},
    {AUDIT_ARCH_I386, kI386Open, TrappedCall::Open},
    {AUDIT_ARCH_I386, kI386Openat, TrappedCall::Openat},
    {AUDIT_ARCH_I386, kI386Openat2, TrappedCall::Openat2},
}};

// The data is for the reader of a trace; the tracer goes by the call number
// the kernel reports, which a program's own filter cannot change.
sock_filter trace_as(TrappedCall call) {
  return BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | static_cast<std::uint32_t>(call));
}

sock_filter allow() {
  return BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
}

sock_filter load_arg_word(unsigned arg, bool high) {
  const auto offset =
      static_cast<std::uint32_t>(offsetof(seccomp_data, args) + std::size_t{8} * arg);
  return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset + (high ? 4U : 0U));
}

// Trapped when the low half of the first argument (little endian) has flag.
std::vector<sock_filter> flag_body(TrappedCall call, std::uint32_t flag) {
  return {load_arg_word(0, false), BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flag, 0, 1), trace_as(call),
          allow()};
}

// Trapped as a pure wait: nfds is 0 or all three sets are NULL.
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
  body.push_back(allow());
  return body;
}

// Trapped as a pure wait: nfds is 0.
std::vector<sock_filter> poll_body(TrappedCall call) {
  return {load_arg_word(1, false), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1), trace_as(call),
          allow()};
}

// What follows a match of the call number; every body ends in a return, so
// the accumulator it loads never reaches the next test.
std::vector<sock_filter> body_of(const Trap& trap) {
  switch (trap.when) {
    case When::Untraced:
      return flag_body(trap.call, CLONE_UNTRACED);
    case When::SelectOnNothing:
      return select_body(trap.call);
    case When::PollOnNothing:
      return poll_body(trap.call);
    case When::Always:
    case When::ReadingTheClock:
      break;
  }
  return {trace_as(trap.call)};
}

// Appends a block that traps the calls of arch and allows the rest. It runs
// with the architecture in the accumulator and is entered only when that
// architecture is arch; otherwise it is jumped over.
void add_arch_block(std::vector<sock_filter>& program, std::uint32_t arch, bool trap_clock_reads) {
  std::vector<sock_filter> block;
  block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const Trap& trap : kTraps) {
    if (trap.arch != arch || (trap.when == When::ReadingTheClock && !trap_clock_reads)) {
      continue;
    }
    const std::vector<sock_filter> body = body_of(trap);
    block.push_back(
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, trap.nr, 0, static_cast<std::uint8_t>(body.size())));
    block.insert(block.end(), body.begin(), body.end());
  }
  block.push_back(allow());
  program.push_back(
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, static_cast<std::uint8_t>(block.size())));
  program.insert(program.end(), block.begin(), block.end());
}

std::vector<sock_filter> build_filter(bool trap_clock_reads) {
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  add_arch_block(program, AUDIT_ARCH_X86_64, trap_clock_reads);
  add_arch_block(program, AUDIT_ARCH_I386, trap_clock_reads);
  program.push_back(allow());
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

std::optional<TrappedCall> trapped_call(std::uint32_t arch, std::uint64_t nr) {
  for (const Trap& trap : kTraps) {
    if (trap.arch == arch && trap.nr == nr) {
      return trap.call;
    }
  }
  return std::nullopt;
}

}  // namespace cdbox::sim
