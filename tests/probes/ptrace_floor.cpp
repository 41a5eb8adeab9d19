// SPDX-License-Identifier: MIT
// The floor of a trapped port instruction: a bare tracer that only steps
// over the faulting IN, for bench/run to compare cdbox-sim against.
//
//   cdbox-ptrace-floor COUNT    a child runs COUNT "inb %dx, %al" at port
//                               0x482; each faults, as the child has no
//                               port privilege (it never asks for any, so
//                               nothing reaches a real port even as root),
//                               and the tracer steps over it with 0xff in AL
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr unsigned short kPort = 0x482;
constexpr unsigned long long kInDxLength = 1;  // 0xec

[[noreturn]] void run_child(long count) {
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    _exit(2);
  }
  raise(SIGSTOP);
  for (long i = 0; i < count; ++i) {
    unsigned char value = 0;
    asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(kPort));
  }
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: cdbox-ptrace-floor COUNT\n");
    return 2;
  }
  const long count = std::strtol(argv[1], nullptr, 10);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("cdbox-ptrace-floor: fork");
    return 1;
  }
  if (child == 0) {
    run_child(count);
  }
  // The child dies with its tracer, so a failure here leaves nothing behind.
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status) ||
      ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_EXITKILL) != 0) {
    std::fprintf(stderr, "cdbox-ptrace-floor: cannot trace the child\n");
    return 1;
  }
  ptrace(PTRACE_CONT, child, nullptr, 0);
  long stepped = 0;
  while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    int sig = WSTOPSIG(status);
    if (sig == SIGSEGV) {
      user_regs_struct regs{};
      ptrace(PTRACE_GETREGS, child, nullptr, &regs);
      regs.rip += kInDxLength;
      regs.rax |= 0xff;
      ptrace(PTRACE_SETREGS, child, nullptr, &regs);
      ++stepped;
      sig = 0;
    }
    ptrace(PTRACE_CONT, child, nullptr, sig);
  }
  if (stepped != count || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "cdbox-ptrace-floor: stepped over %ld of %ld\n", stepped, count);
    return 1;
  }
  return 0;
}
