// SPDX-License-Identifier: MIT
// The system calls the filter traps, one handler each: iopl and ioperm are
// answered here and never reach the kernel; execve is noted for the trace;
// clone loses CLONE_UNTRACED and clone3 is refused. The waits and the clock
// reads are handled in time_calls.cpp.
#include <limits.h>
#include <linux/audit.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "sim/filter.h"
#include "sim/names.h"
#include "sim/tracee.h"
#include "sim/tracer.h"

namespace cdbox::sim {

void Tracer::on_seccomp_stop(pid_t tid) {
  const auto stop = get_seccomp_stop(tid);
  if (!stop) {
    cannot_handle(tid, "read the system call it stopped at");
    return;
  }
  const auto call = trapped_call(stop->arch, stop->nr);
  if (!call) {
    // A stop that a filter of the program's own asked for, at a call the
    // simulator leaves to the kernel.
    resume(tid);
    return;
  }
  auto regs = get_regs(tid);
  if (!regs) {
    cannot_handle(tid, "read its registers at a trapped system call");
    return;
  }
  switch (*call) {
    case TrappedCall::Iopl:
      iopl_call(tid, *regs, *stop);
      break;
    case TrappedCall::Ioperm:
      ioperm_call(tid, *regs, *stop);
      break;
    case TrappedCall::Nanosleep:
      wait_call(tid, *regs, WaitCall::Nanosleep);
      break;
    case TrappedCall::ClockNanosleep:
      wait_call(tid, *regs, WaitCall::ClockNanosleep);
      break;
    case TrappedCall::Select:
      wait_call(tid, *regs, WaitCall::Select);
      break;
    case TrappedCall::Pselect6:
      wait_call(tid, *regs, WaitCall::Pselect6);
      break;
    case TrappedCall::Poll:
      wait_call(tid, *regs, WaitCall::Poll);
      break;
    case TrappedCall::Ppoll:
      wait_call(tid, *regs, WaitCall::Ppoll);
      break;
    case TrappedCall::ClockGettime:
    case TrappedCall::Gettimeofday:
    case TrappedCall::Time:
      clock_read_call(tid, *regs, *call);
      break;
    case TrappedCall::Execve:
      execve_call(tid, *stop);
      break;
    case TrappedCall::Execveat:
      execveat_call(tid);
      break;
    case TrappedCall::Clone:
      clone_call(tid, *regs, *stop);
      break;
    case TrappedCall::Clone3:
      clone3_call(tid, *regs);
      break;
    case TrappedCall::Open:
    case TrappedCall::Openat:
    case TrappedCall::Openat2:
      open_call(tid, *regs, *stop, *call);
      break;
  }
}

void Tracer::iopl_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call) {
  // The kernel takes the level as an unsigned int: the upper half of the
  // register does not count.
  const auto level = static_cast<unsigned>(call.args[0]);
  const std::optional<int>& refuse = session_.options().refuse_iopl;
  const int result = refuse ? -*refuse : task_of(tid).grants.set_privilege_level(level);
  answer_privilege_call(tid, regs, ev::Iopl{level, result}, result);
}

void Tracer::ioperm_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call) {
  const std::uint64_t from = call.args[0];
  const std::uint64_t count = call.args[1];
  const auto on = static_cast<int>(call.args[2]);
  const std::optional<int>& refuse = session_.options().refuse_ioperm;
  const int result = refuse ? -*refuse : task_of(tid).grants.set_permission(from, count, on != 0);
  answer_privilege_call(tid, regs, ev::Ioperm{from, count, on, result}, result);
}

// iopl and ioperm never reach the kernel: the answer is the simulator's.
void Tracer::answer_privilege_call(pid_t tid, user_regs_struct& regs, EventBody call, int result) {
  session_.record(tid, std::move(call));
  skip_call(tid, regs, result);
}

void Tracer::execve_call(pid_t tid, const SyscallStop& call) {
  task_of(tid).exec_path = read_string(tid, call.args[0], PATH_MAX);
  resume(tid);
}

// The trace takes the path from /proc once the exec has happened.
void Tracer::execveat_call(pid_t tid) {
  task_of(tid).exec_path.clear();
  resume(tid);
}

// A child made with CLONE_UNTRACED would run outside the trace and outlive
// the simulator: the flag goes, and the child is followed as any other.
void Tracer::clone_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call) {
  auto& flags = call.arch == AUDIT_ARCH_I386 ? regs.rbx : regs.rdi;
  flags &= ~static_cast<unsigned long long>(CLONE_UNTRACED);
  if (!set_regs(tid, regs)) {
    cannot_handle(tid, "take CLONE_UNTRACED out of a clone call");
    return;
  }
  resume(tid);
}

// clone3 keeps its flags in memory, which the filter cannot see and which
// the program could change after the check. It fails as on a kernel
// without it, and the C library falls back to clone.
void Tracer::clone3_call(pid_t tid, user_regs_struct& regs) {
  skip_call(tid, regs, -ENOSYS);
}

// Skips the system call the task is stopped at, whose registers are regs;
// the call returns result.
void Tracer::skip_call(pid_t tid, user_regs_struct& regs, long long result) {
  regs.orig_rax = static_cast<unsigned long long>(-1LL);
  regs.rax = static_cast<unsigned long long>(result);
  if (!set_regs(tid, regs)) {
    cannot_handle(tid, "change its registers to answer a trapped system call");
    return;
  }
  resume(tid);
}

}  // namespace cdbox::sim
