// SPDX-License-Identifier: MIT
#include "sim/scheduler.h"

#include <algorithm>
#include <vector>

namespace cdbox::sim {

Scheduler::Scheduler(SimClock& clock, TaskStates& states) : clock_(clock), states_(states) {}

void Scheduler::park(pid_t tid, std::int64_t deadline_ns, Wake wake) {
  on_event(tid);
  waited(tid);
  const auto at = queue_.emplace(deadline_ns, tid);
  waits_.emplace(tid, Wait{at, std::move(wake), steps_});
}

void Scheduler::on_event(pid_t tid) {
  job_stopped_.erase(tid);
  ending_.erase(tid);
  const auto it = waits_.find(tid);
  if (it != waits_.end()) {
    queue_.erase(it->second.in_queue);
    waits_.erase(it);
  }
}

void Scheduler::job_stopped(pid_t tid) {
  job_stopped_.insert(tid);
}

void Scheduler::task_ending(pid_t tid) {
  ending_.insert(tid);
}

void Scheduler::task_ended() {
  settled_at_ = clock_.real_ns() + kSettleNs;
}

void Scheduler::waited(pid_t tid) {
  cpu_since_wait_.erase(tid);
  if (busy_.erase(tid) != 0 && busy_.empty()) {
    clock_.follow_real_time(false);
  }
}

bool Scheduler::blocked(pid_t tid) {
  if (ending_.contains(tid)) {
    // Its death wakes whoever waits for it.
    return false;
  }
  const char state = states_.state(tid);
  // A tracing stop that is not a group-stop is an event on its way to the
  // tracer: the task is not done yet.
  return state != 'R' && (state != 't' || job_stopped_.contains(tid));
}

bool Scheduler::all_unparked_blocked(std::span<const pid_t> tasks) {
  return std::all_of(tasks.begin(), tasks.end(),
                     [this](pid_t tid) { return parked(tid) || blocked(tid); });
}

void Scheduler::end_wait(pid_t tid, WaitEnd end) {
  const auto it = waits_.find(tid);
  if (it == waits_.end()) {
    return;
  }
  Wake wake = std::move(it->second.wake);
  queue_.erase(it->second.in_queue);
  waits_.erase(it);
  wake(end);
}

void Scheduler::sample(std::span<const pid_t> tasks) {
  std::unordered_map<pid_t, std::int64_t> computing;
  busy_.clear();
  std::vector<pid_t> signalled;
  for (const pid_t tid : tasks) {
    if (parked(tid)) {
      if (states_.interrupting_signal_pending(tid)) {
        signalled.push_back(tid);
      }
      continue;
    }
    const auto cpu = blocked(tid) ? std::nullopt : states_.cpu_ns(tid);
    if (!cpu) {
      continue;
    }
    const auto since = cpu_since_wait_.find(tid);
    const std::int64_t first = since != cpu_since_wait_.end() ? since->second : *cpu;
    computing.emplace(tid, first);
    if (*cpu - first >= kQuantumNs) {
      busy_.insert(tid);
    }
  }
  cpu_since_wait_ = std::move(computing);
  clock_.follow_real_time(!busy_.empty());
  for (const pid_t tid : signalled) {
    end_wait(tid, WaitEnd::Signal);
  }
}

std::optional<std::int64_t> Scheduler::step(std::span<const pid_t> tasks) {
  ++steps_;
  if (clock_.real_ns() >= next_sample_at_) {
    sample(tasks);
    next_sample_at_ = clock_.real_ns() + kQuantumNs;
  }
  // While a task computes the clock runs, and passes deadlines by itself.
  while (clock_.follows_real_time() && !queue_.empty() &&
         queue_.begin()->first <= clock_.now_ns()) {
    end_wait(queue_.begin()->second, WaitEnd::Deadline);
  }
  // Once nothing else can happen first, the earliest wait ends: one at a
  // time, so that what the woken task does comes before the next one runs.
  const bool settled = clock_.real_ns() >= settled_at_;
  if (!queue_.empty() && settled && all_unparked_blocked(tasks)) {
    busy_.clear();
    clock_.follow_real_time(false);
    const pid_t tid = queue_.begin()->second;
    // A signal that came while the wait could not end yet ends it first.
    // A wait that ends at the first step after it began had no time to
    // take one.
    if (waits_.at(tid).parked_after_step + 1 < steps_ && states_.interrupting_signal_pending(tid)) {
      end_wait(tid, WaitEnd::Signal);
    } else {
      clock_.advance_to(queue_.begin()->first);
      end_wait(tid, WaitEnd::Deadline);
    }
  }
  std::optional<std::int64_t> delay;
  auto sooner = [&delay](std::optional<std::int64_t> ns) {
    if (ns && (!delay || *ns < *delay)) {
      delay = ns;
    }
  };
  if (!queue_.empty()) {
    sooner(kRecheckNs);
    if (!settled) {
      sooner(settled_at_ - clock_.real_ns());
    }
    sooner(clock_.real_ns_until(queue_.begin()->first));
  }
  if (tasks.size() > waits_.size()) {
    sooner(std::max<std::int64_t>(next_sample_at_ - clock_.real_ns(), 0));
  }
  return delay;
}

}  // namespace cdbox::sim
