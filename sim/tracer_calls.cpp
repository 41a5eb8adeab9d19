// SPDX-License-Identifier: MIT
// The system calls the filter traps: iopl and ioperm are answered here and
// never reach the kernel; sleeps are traced and, in virtual time, skipped;
// execve is noted for the trace.
#include <limits.h>
#include <sys/ptrace.h>
#include <time.h>

#include <cstdio>

#include "sim/filter.h"
#include "sim/names.h"
#include "sim/tracee.h"
#include "sim/tracer.h"

namespace cdbox::sim {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

// The duration a sleep call asks for, or nullopt when the kernel is better
// placed to reject the call (bad pointer, bad timespec).
std::optional<std::int64_t> requested_sleep(pid_t tid, std::uint64_t addr, int clock_id,
                                            bool absolute) {
  timespec ts{};
  if (read_memory(tid, addr, std::span(reinterpret_cast<std::uint8_t*>(&ts), sizeof ts)) !=
          sizeof ts ||
      ts.tv_sec < 0 || ts.tv_nsec < 0 || ts.tv_nsec >= kNsPerSecond) {
    return std::nullopt;
  }
  std::int64_t ns = std::int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
  if (absolute) {
    // An absolute sleep lasts for the time left until its deadline.
    ns -= read_clock_ns(clock_id);
  }
  return ns < 0 ? 0 : ns;
}

}  // namespace

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
      sleep_call(tid, *regs, false);
      break;
    case TrappedCall::ClockNanosleep:
      sleep_call(tid, *regs, true);
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

void Tracer::sleep_call(pid_t tid, user_regs_struct& regs, bool is_clock_nanosleep) {
  const int clock_id = is_clock_nanosleep ? static_cast<int>(regs.rdi) : CLOCK_MONOTONIC;
  const bool absolute = is_clock_nanosleep && (regs.rsi & TIMER_ABSTIME) != 0;
  const std::uint64_t request = is_clock_nanosleep ? regs.rdx : regs.rdi;
  const auto ns = requested_sleep(tid, request, clock_id, absolute);
  if (!ns) {
    resume(tid);
    return;
  }
  session_.record(tid, ev::Sleep{*ns});
  if (!session_.clock().is_virtual()) {
    resume(tid);
    return;
  }
  session_.clock().advance(*ns);
  skip_call(tid, regs, 0);
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
