// SPDX-License-Identifier: MIT
// The ptrace loop: waits for each stop of every traced task, classifies it
// and hands it to the part that deals with it, then lets the task go on.
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/filter.h"
#include "sim/grants.h"
#include "sim/port_emulator.h"
#include "sim/program_clocks.h"
#include "sim/real_time_net.h"
#include "sim/scheduler.h"
#include "sim/session.h"
#include "sim/task_states.h"
#include "sim/unique_fd.h"
#include "sim/waits.h"

namespace cdbox::sim {

class Tracer {
 public:
  // Traces main_pid, which has been seized already, and all it starts.
  Tracer(Session& session, pid_t main_pid);

  // Runs until every traced task has ended. Returns main_pid's wait
  // status, or nullopt when the loop itself failed (reported).
  std::optional<int> run();

  // True once main_pid has run PROGRAM (its first exec succeeded).
  [[nodiscard]] bool program_started() const { return program_started_; }

 private:
  struct Task {
    PortGrants grants;
    pid_t tgid = 0;
    bool ready = false;   // grants known: the parent's event was seen
    bool parked = false;  // held at its first stop until ready
    bool started = true;  // runs the program (main_pid: after exec)
    bool exit_reported = false;
    std::string exec_path;  // file of its latest execve call
  };

  void dispatch(pid_t tid, int status);
  void on_gone(pid_t tid, int status);
  void on_seccomp_stop(pid_t tid);
  void on_new_task(pid_t parent);
  void on_exec(pid_t tid);
  void on_exit_stop(pid_t tid);
  void on_event_stop(pid_t tid, int sig);
  void on_signal_stop(pid_t tid, int sig);
  bool emulate_port_instruction(pid_t tid);
  void after_port_write(pid_t tid);
  void wait_for_signal();

  // Handlers of the trapped system calls; each skips or resumes the call.
  void privilege_call(pid_t tid, user_regs_struct& regs, Task& task, bool is_iopl,
                      std::uint64_t arg0, std::uint64_t arg1, std::uint64_t arg2);
  void skip_call(pid_t tid, user_regs_struct& regs, long long result);

  // Time: the waits (parked in virtual time), the clock reads (answered
  // from the virtual clock), the waiting step and the exec of a program.
  void wait_call(pid_t tid, user_regs_struct& regs, WaitCall call);
  void finish_wait(pid_t tid, user_regs_struct& regs, const TimedWait& wait,
                   std::int64_t deadline_ns, Scheduler::WaitEnd end);
  void clock_read_call(pid_t tid, user_regs_struct& regs, TrappedCall call);
  // Runs what falls due while the loop waits; returns how long the loop
  // may wait for a signal, in ms (-1: until one comes).
  int waiting_timeout_ms();
  void after_exec_time(pid_t tid);

  Task& task_of(pid_t tid);
  void resume(pid_t tid, int sig = 0);

  Session& session_;
  PortEmulator emulator_;
  pid_t main_pid_;
  std::optional<int> main_status_;
  bool program_started_ = false;
  bool pulse_signal_sent_ = false;
  pid_t last_ended_ = 0;
  std::unordered_map<pid_t, Task> tasks_;
  UniqueFd signals_;
  ProcTaskStates task_states_;
  Scheduler scheduler_;
  ProgramClocks program_clocks_;
  RealTimeNet real_time_net_;
  std::vector<pid_t> task_ids_;  // scratch of waiting_timeout_ms()
};

}  // namespace cdbox::sim
