// SPDX-License-Identifier: MIT
// The waits of virtual time. A task in a timed wait is parked: held at its
// stop until its deadline on the virtual clock. The clock jumps to the
// earliest deadline only when every other traced task is parked or blocked
// in the kernel, and a task that computes for longer than a quantum of CPU
// time makes the clock follow real time while it does, so waits overlap as
// in real time and short bursts of computation take no virtual time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "sim/clock.h"
#include "sim/task_states.h"

namespace cdbox::sim {

class Scheduler {
 public:
  enum class WaitEnd { Deadline, Signal };
  // Ends the wait of a parked task: it is still at its stop.
  using Wake = std::function<void(WaitEnd)>;

  // CPU time a task may use between two waits and still take no virtual time.
  static constexpr std::int64_t kQuantumNs = 10'000'000;
  // How soon to look again whether the tasks beside a parked one are
  // blocked, as nothing reports that.
  static constexpr std::int64_t kRecheckNs = 1'000'000;
  // How long after a task's end no wait ends by its deadline. The kernel
  // wakes whoever waits for that end (a parent in waitpid, a thread in
  // pthread_join) as the tracer takes the death notice, but the woken
  // task may still look asleep for a moment, and the clock must not pass
  // it by.
  static constexpr std::int64_t kSettleNs = 10'000'000;

  Scheduler(SimClock& clock, TaskStates& states);

  // Holds tid at its stop until the clock shows deadline_ns (or a signal
  // for it waits), then calls wake. Waits of one deadline end in the order
  // they began.
  void park(pid_t tid, std::int64_t deadline_ns, Wake wake);
  // tid reported a stop or its end: it is neither parked nor stopped by
  // job control any more.
  void on_event(pid_t tid);
  // tid is in a group-stop (job control) until its next event.
  void job_stopped(pid_t tid);
  // tid has left its exit stop: it is not waiting but ending, until its
  // death notice (an event) comes.
  void task_ending(pid_t tid);
  // A traced task has ended (its death notice is taken).
  void task_ended();
  [[nodiscard]] bool parked(pid_t tid) const { return waits_.contains(tid); }

  // The waiting step of the tracer, with every traced task: moves the
  // clock and ends the waits that are due. Returns the real time in ns
  // after which to step again; nullopt when only an event can change
  // anything.
  std::optional<std::int64_t> step(std::span<const pid_t> tasks);

 private:
  struct Wait {
    std::multimap<std::int64_t, pid_t>::iterator in_queue;
    Wake wake;
    std::uint64_t parked_after_step = 0;
  };

  // Looks at the tasks that are not parked: which compute (busy), which
  // wait; and at the parked ones, whether a signal ends their wait.
  void sample(std::span<const pid_t> tasks);
  // True when the kernel holds tid: sleeping, stopped, gone.
  bool blocked(pid_t tid);
  bool all_unparked_blocked(std::span<const pid_t> tasks);
  void end_wait(pid_t tid, WaitEnd end);
  // A task that waits is no longer busy.
  void waited(pid_t tid);

  SimClock& clock_;
  TaskStates& states_;
  std::multimap<std::int64_t, pid_t> queue_;  // deadline -> task
  std::unordered_map<pid_t, Wait> waits_;
  std::unordered_set<pid_t> job_stopped_;
  std::unordered_set<pid_t> ending_;
  // CPU time of each computing task when it was first seen computing
  // since its last wait.
  std::unordered_map<pid_t, std::int64_t> cpu_since_wait_;
  std::unordered_set<pid_t> busy_;
  std::int64_t next_sample_at_ = 0;  // real ns
  std::int64_t settled_at_ = 0;      // real ns: kSettleNs after the latest end
  std::uint64_t steps_ = 0;
};

}  // namespace cdbox::sim
