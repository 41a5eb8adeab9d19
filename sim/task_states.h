// SPDX-License-Identifier: MIT
// What the kernel says of a traced task that the scheduler of virtual time
// needs: whether it runs, how much CPU time it has used, and whether a
// signal waits that would end a wait of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace cdbox::sim {

class TaskStates {
 public:
  virtual ~TaskStates() = default;
  // The state letter of /proc/TID/stat ('R', 'S', 'D', 't', ...); '?'
  // when the task is gone.
  virtual char state(pid_t tid) = 0;
  // The CPU time the task has used, in nanoseconds.
  virtual std::optional<std::int64_t> cpu_ns(pid_t tid) = 0;
  // True when a signal is pending for the task that it neither blocks nor
  // ignores and that would run a handler or end the process: one that
  // would interrupt a sleep in the kernel.
  virtual bool interrupting_signal_pending(pid_t tid) = 0;
};

// The states as /proc tells them.
class ProcTaskStates final : public TaskStates {
 public:
  char state(pid_t tid) override;
  std::optional<std::int64_t> cpu_ns(pid_t tid) override;
  bool interrupting_signal_pending(pid_t tid) override;
};

// Whether a task with these signal masks of /proc/TID/status (bit N-1 for
// signal N) has a signal pending that interrupts a sleep.
bool interrupts_sleep(std::uint64_t pending, std::uint64_t blocked, std::uint64_t ignored,
                      std::uint64_t caught);

}  // namespace cdbox::sim
