// SPDX-License-Identifier: MIT
// The system calls the filter traps: iopl and ioperm are answered here and
// never reach the kernel; execve is noted for the trace. The waits and the
// clock reads are handled in time_calls.cpp.
#include <limits.h>
#include <sys/ptrace.h>
#include <time.h>

#include <cstdio>

#include "sim/filter.h"
#include "sim/names.h"
#include "sim/tracee.h"
#include "sim/tracer.h"

namespace cdbox::sim {

void Tracer::on_seccomp_stop(pid_t tid) {
  unsigned long data = 0;
  ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &data);
  auto regs = get_regs(tid);
  if (!regs) {
    resume(tid);
    return;
  }
  Task& task = task_of(tid);
  switch (static_cast<TrappedCall>(data)) {
    case TrappedCall::Iopl:
      privilege_call(tid, *regs, task, true, regs->rdi, 0, 0);
      break;
    case TrappedCall::Ioperm:
      privilege_call(tid, *regs, task, false, regs->rdi, regs->rsi, regs->rdx);
      break;
    case TrappedCall::Iopl32:
      privilege_call(tid, *regs, task, true, regs->rbx & 0xffffffff, 0, 0);
      break;
    case TrappedCall::Ioperm32:
      privilege_call(tid, *regs, task, false, regs->rbx & 0xffffffff, regs->rcx & 0xffffffff,
                     regs->rdx & 0xffffffff);
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
      clock_read_call(tid, *regs, static_cast<TrappedCall>(data));
      break;
    case TrappedCall::Execve:
      task.exec_path = read_string(tid, regs->rdi, PATH_MAX);
      resume(tid);
      break;
    case TrappedCall::Execveat:
      task.exec_path.clear();
      resume(tid);
      break;
    default:
      resume(tid);
      break;
  }
}

void Tracer::privilege_call(pid_t tid, user_regs_struct& regs, Task& task, bool is_iopl,
                            std::uint64_t arg0, std::uint64_t arg1, std::uint64_t arg2) {
  const Options& options = session_.options();
  const std::optional<int>& refuse = is_iopl ? options.refuse_iopl : options.refuse_ioperm;
  long long result = 0;
  if (is_iopl) {
    result = refuse ? -*refuse : task.grants.set_privilege_level(arg0);
    session_.record(tid, ev::Iopl{arg0, result});
  } else {
    const int on = static_cast<int>(arg2);
    result = refuse ? -*refuse : task.grants.set_permission(arg0, arg1, on != 0);
    session_.record(tid, ev::Ioperm{arg0, arg1, on, result});
  }
  skip_call(tid, regs, result);
}

// Skips the system call the task is stopped at, whose registers are regs;
// the call returns result.
void Tracer::skip_call(pid_t tid, user_regs_struct& regs, long long result) {
  regs.orig_rax = static_cast<unsigned long long>(-1LL);
  regs.rax = static_cast<unsigned long long>(result);
  set_regs(tid, regs);
  resume(tid);
}

}  // namespace cdbox::sim
