// SPDX-License-Identifier: MIT
// The tracer's part in time: the pure waits are traced and, in virtual time,
// parked until their deadline on the virtual clock; the clock reads are
// answered from the virtual clock; the waiting step of the loop moves that
// clock; and an executed program has its vDSO hidden, so that its clock
// reads become system calls.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "sim/auxv.h"
#include "sim/trace.h"
#include "sim/tracee.h"
#include "sim/tracer.h"

namespace cdbox::sim {
namespace {

MemoryReader reader_of(pid_t tid) {
  return [tid](std::uint64_t addr, std::span<std::uint8_t> out) {
    return read_memory(tid, addr, out) == out.size();
  };
}

// Writes a timespec or timeval (two 64-bit words) at addr.
bool write_pair(pid_t tid, std::uint64_t addr, std::int64_t first, std::int64_t second) {
  const std::int64_t words[2] = {first, second};
  return write_memory(tid, addr,
                      std::span(reinterpret_cast<const std::uint8_t*>(words), sizeof words));
}

// Writes ns as the time left of wait, in the form its call uses.
bool write_time_left(pid_t tid, const TimedWait& wait, std::int64_t ns) {
  const std::int64_t sec = ns / kNsPerSecond;
  const std::int64_t rest = ns % kNsPerSecond;
  return write_pair(tid, wait.left_addr, sec,
                    wait.left == TimeLeft::Timeval ? rest / kNsPerUs : rest);
}

int to_timeout_ms(std::optional<std::int64_t> delay_ns) {
  if (!delay_ns) {
    return -1;
  }
  const std::int64_t ms = (std::max<std::int64_t>(*delay_ns, 0) + kNsPerMs - 1) / kNsPerMs;
  return static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
}

}  // namespace

void Tracer::wait_call(pid_t tid, user_regs_struct& regs, WaitCall call) {
  const std::array<std::uint64_t, 6> args = {regs.rdi, regs.rsi, regs.rdx,
                                             regs.r10, regs.r8,  regs.r9};
  const auto wait = parse_wait(call, args, reader_of(tid));
  if (!wait) {
    resume(tid);
    return;
  }
  SimClock& clock = session_.clock();
  if (!clock.is_virtual()) {
    // An absolute wait lasts for the time left until its deadline.
    const std::int64_t asked =
        wait->absolute ? std::max<std::int64_t>(wait->ns - read_clock_ns(wait->clock_id), 0)
                       : wait->ns;
    session_.record(tid, ev::Sleep{asked});
    resume(tid);
    return;
  }
  const std::int64_t now = clock.now_ns();
  const std::int64_t deadline =
      wait->absolute ? program_clocks_.virtual_time_of(wait->clock_id, wait->ns).value_or(now)
                     : add_saturating(now, wait->ns);
  // The trace shows the time asked for, even past the latest time the
  // clock can tell.
  const std::int64_t asked = wait->absolute ? std::max<std::int64_t>(deadline - now, 0) : wait->ns;
  session_.record(tid, ev::Sleep{asked});
  scheduler_.park(tid, deadline,
                  [this, tid, regs, wait = *wait, deadline](Scheduler::WaitEnd end) mutable {
                    finish_wait(tid, regs, wait, deadline, end);
                  });
}

// A wait ends as in the kernel: 0 at its deadline; EINTR, with the time
// left where the call reports it, when a signal ends it first.
void Tracer::finish_wait(pid_t tid, user_regs_struct& regs, const TimedWait& wait,
                         std::int64_t deadline_ns, Scheduler::WaitEnd end) {
  const bool interrupted = end == Scheduler::WaitEnd::Signal;
  long long result = interrupted ? -EINTR : 0;
  if (wait.left_addr != 0 && (interrupted || wait.left_on_timeout)) {
    const std::int64_t left =
        interrupted ? std::max<std::int64_t>(deadline_ns - session_.clock().now_ns(), 0) : 0;
    // nanosleep fails when it cannot report the time left; select and the
    // polls do not mind.
    if (!write_time_left(tid, wait, left) && !wait.left_on_timeout) {
      result = -EFAULT;
    }
  }
  skip_call(tid, regs, result);
}

void Tracer::clock_read_call(pid_t tid, user_regs_struct& regs, TrappedCall call) {
  const std::int64_t now = session_.clock().now_ns();
  const auto realtime = program_clocks_.read(CLOCK_REALTIME, now);
  if (!session_.clock().is_virtual() || !realtime) {
    resume(tid);
    return;
  }
  long long result = 0;
  if (call == TrappedCall::ClockGettime) {
    const auto ns = program_clocks_.read(static_cast<int>(regs.rdi), now);
    if (!ns) {
      // A clock that virtual time leaves to the kernel, or no clock at all.
      resume(tid);
      return;
    }
    result = write_pair(tid, regs.rsi, *ns / kNsPerSecond, *ns % kNsPerSecond) ? 0 : -EFAULT;
  } else if (call == TrappedCall::Gettimeofday) {
    if (regs.rdi != 0 &&
        !write_pair(tid, regs.rdi, *realtime / kNsPerSecond, *realtime % kNsPerSecond / kNsPerUs)) {
      result = -EFAULT;
    } else if (regs.rsi != 0) {
      // The time zone is the kernel's, whatever the time.
      struct timezone zone {};
      syscall(SYS_gettimeofday, nullptr, &zone);
      if (!write_memory(tid, regs.rsi,
                        std::span(reinterpret_cast<const std::uint8_t*>(&zone), sizeof zone))) {
        result = -EFAULT;
      }
    }
  } else {
    const std::int64_t seconds = *realtime / kNsPerSecond;
    result = seconds;
    if (regs.rdi != 0 &&
        !write_memory(tid, regs.rdi,
                      std::span(reinterpret_cast<const std::uint8_t*>(&seconds), sizeof seconds))) {
      result = -EFAULT;
    }
  }
  skip_call(tid, regs, result);
}

int Tracer::waiting_timeout_ms() {
  SimClock& clock = session_.clock();
  std::optional<std::int64_t> delay;
  auto sooner = [&delay](std::optional<std::int64_t> ns) {
    if (ns && (!delay || *ns < *delay)) {
      delay = ns;
    }
  };
  if (clock.is_virtual()) {
    for (const RealTimeNet::Breach& breach : real_time_net_.breaches(clock.real_ns())) {
      session_.violation(breach.actor, "drawer " + std::to_string(breach.drawer) +
                                           " solenoid energized longer than " +
                                           std::to_string(session_.options().max_hold_ms) +
                                           " ms of real time");
    }
    if (const auto at = real_time_net_.next_breach_at()) {
      sooner(*at - clock.real_ns());
    }
    task_ids_.clear();
    for (const auto& entry : tasks_) {
      task_ids_.push_back(entry.first);
    }
    sooner(scheduler_.step(task_ids_));
    session_.catch_up();
  }
  if (const auto at = session_.controller().next_change_at()) {
    sooner(clock.real_ns_until(*at));
  }
  return to_timeout_ms(delay);
}

void Tracer::after_exec_time(pid_t tid) {
  if (!session_.clock().is_virtual()) {
    return;
  }
  // Only a 64-bit program has its clock reads trapped.
  const auto regs = get_regs(tid);
  if (regs && in_long_mode(*regs)) {
    hide_vdso(tid, regs->rsp);
  }
}

}  // namespace cdbox::sim
