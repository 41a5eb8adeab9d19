// SPDX-License-Identifier: MIT
// The ptrace loop: waits for each stop of every traced task, classifies it
// and hands it to the part that deals with it, then lets the task go on.
#pragma once

#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/user.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/devport/devport.h"
#include "sim/devport/port_file_states.h"
#include "sim/filter.h"
#include "sim/grants.h"
#include "sim/port_emulator.h"
#include "sim/program_clocks.h"
#include "sim/real_time_net.h"
#include "sim/scheduler.h"
#include "sim/session.h"
#include "sim/signals.h"
#include "sim/task_states.h"
#include "sim/tracee.h"
#include "sim/waits.h"

namespace cdbox::sim {

class Tracer {
 public:
  // Traces main_pid, which has been seized already, and all it starts;
  // signals to cdbox-sim come through inbox.
  Tracer(Session& session, pid_t main_pid, SignalInbox& inbox);

  // Runs until every traced task has ended. Returns main_pid's wait
  // status, or nullopt when the loop itself failed (reported).
  std::optional<int> run();

  // True once main_pid has run PROGRAM (its first exec succeeded).
  [[nodiscard]] bool program_started() const { return program_started_; }

 private:
  struct Task {
    PortGrants grants;
    pid_t tgid = 0;
    bool ready = false;       // grants known: the parent's event was seen
    bool parked = false;      // held at its first stop until ready
    pid_t creator_group = 0;  // of a parked task: the process that made it
    bool started = true;      // runs the program (main_pid: after exec)
    std::string exec_path;    // file of its latest execve call
  };

  void dispatch(pid_t tid, int status);
  void on_gone(pid_t tid, int status);
  void on_seccomp_stop(pid_t tid);
  void on_new_task(pid_t parent);
  void on_exec(pid_t tid);
  void on_exit_stop(pid_t tid);
  [[nodiscard]] bool has_other_threads(pid_t leader) const;
  // Traces "exit" or "killed" for a process that has ended.
  void trace_process_end(pid_t pid, int status);
  void on_event_stop(pid_t tid, int sig);
  void on_signal_stop(pid_t tid, int sig);
  bool is_kernel_fault(pid_t tid);
  // A kernel-raised SIGSEGV: emulated when it is a port instruction,
  // passed on when not.
  void on_fault(pid_t tid);
  enum class Emulation {
    Done,     // carried out: the fault is spent
    NotPort,  // not a port instruction: the fault stands
    Stopped,  // the task has been killed or has gone
  };
  Emulation emulate_port_instruction(pid_t tid);
  void after_port_write(pid_t tid);
  [[nodiscard]] bool is_lone_task(pid_t tid) const;
  void follow_lone_task(pid_t tid);
  // Waits for a signal, for the port file or for what falls due. Returns
  // the task a SIGCHLD among the signals told of a SIGSEGV stop of, if any.
  std::optional<pid_t> wait_for_signal();
  std::optional<pid_t> take_signals();
  void on_signal_to_simulator(const signalfd_siginfo& info);
  [[nodiscard]] bool is_traced_process(pid_t pid) const;
  // Kills every traced process left once the main program has ended.
  void end_leftover_processes();
  // Lets go the tasks parked for grants from a creator that has gone
  // without its fork event (killed while it forked): they take grants.
  // creator_group 0: every parked task.
  void release_orphans(pid_t creator_group, const PortGrants& grants);
  void release_stuck_orphans();
  void release_task(pid_t tid, const PortGrants& grants);

  // Handlers of the trapped system calls, one per call; each answers the
  // call or lets it run, and lets the task go on.
  void iopl_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call);
  void ioperm_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call);
  void execve_call(pid_t tid, const SyscallStop& call);
  void execveat_call(pid_t tid);
  void clone_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call);
  void clone3_call(pid_t tid, user_regs_struct& regs);
  // An open of /dev/port is refused or goes to the simulator's port file;
  // every other open runs as it is.
  void open_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call, TrappedCall which);
  // Points the path argument of the open tid is stopped at to path.
  bool redirect_open(pid_t tid, user_regs_struct& regs, const SyscallStop& call, TrappedCall which,
                     const std::string& path);
  // call is the event that traces the call and its result.
  void answer_privilege_call(pid_t tid, user_regs_struct& regs, EventBody call, int result);
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
  // Lets a stopped task go on with sig, unless it must wait for its grants.
  void resume(pid_t tid, int sig = 0);
  // The one place a stopped task is restarted (PTRACE_CONT, PTRACE_LISTEN).
  // A task that has gone (ESRCH) is left to its death notice; any other
  // failure kills it.
  void restart(pid_t tid, __ptrace_request request, int sig = 0);
  // For a task the simulator must act on but could not (what it could not
  // do, while errno says why): a task that has gone is left to its death
  // notice; any other is killed, never let run on unchanged.
  void cannot_handle(pid_t tid, const std::string& what);
  // Records a violation and kills the task's whole process.
  void kill_task(pid_t tid, const std::string& why);

  Session& session_;
  PortEmulator emulator_;
  DevPort devport_;
  pid_t main_pid_;
  std::optional<int> main_status_;
  bool program_started_ = false;
  bool pulse_signal_sent_ = false;
  pid_t last_ended_ = 0;
  std::unordered_map<pid_t, Task> tasks_;
  ProcTaskStates task_states_;
  PortFileAwareStates scheduled_states_{task_states_, devport_};
  Scheduler scheduler_;
  ProgramClocks program_clocks_;
  RealTimeNet real_time_net_;
  std::vector<pid_t> task_ids_;  // scratch of waiting_timeout_ms()
  // By process: its figures as its latest thread ended.
  std::unordered_map<pid_t, ProcessFigures> figures_;
  SignalInbox& inbox_;
  bool ending_leftovers_ = false;
};

}  // namespace cdbox::sim
