// SPDX-License-Identifier: MIT
#include "sim/tracer.h"
#include "sim/machine/defaults.h"

#include <poll.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "sim/names.h"
#include "sim/trace.h"
#include "sim/tracee.h"

namespace cdbox::sim {
namespace {

std::string code_address(unsigned long long rip) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", rip);
  return text;
}

bool is_stopping_signal(int sig) {
  return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

}  // namespace

Tracer::Tracer(Session& session, pid_t main_pid, SignalInbox& inbox)
    : session_(session),
      emulator_(session),
      devport_(session, [this](pid_t tid) { after_port_write(tid); }),
      main_pid_(main_pid),
      scheduler_(session.clock(), scheduled_states_),
      real_time_net_(session.options().max_hold_ms * kNsPerMs, session.solenoid_bits()),
      inbox_(inbox) {
  Task& main = tasks_[main_pid];
  main.tgid = main_pid;
  main.ready = true;
  main.started = false;
}

std::optional<int> Tracer::run() {
  while (true) {
    int status = 0;
    const pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
    if (tid > 0) {
      dispatch(tid, status);
      // Several tasks' changes may share one SIGCHLD, so the loop asks
      // until none is left. A stop of the one task there is had no other
      // change beside it (a task it makes is told of at its own next
      // stop), and the task's next change comes with a SIGCHLD of its own.
      if (WIFSTOPPED(status) && is_lone_task(tid)) {
        follow_lone_task(tid);
      }
      continue;
    }
    if (tid < 0 && errno == ECHILD) {
      break;
    }
    if (tid < 0 && errno != EINTR) {
      std::fprintf(stderr, "cdbox-sim: waitpid: %s\n", std::strerror(errno));
      return std::nullopt;
    }
    wait_for_signal();
  }
  session_.catch_up();
  if (session_.controller().solenoid_energized()) {
    session_.violation(last_ended_ != 0 ? last_ended_ : main_pid_,
                       "control register left at " +
                           format_port_value(session_.controller().control(), 1) +
                           " with a solenoid energized");
  }
  return main_status_;
}

bool Tracer::is_lone_task(pid_t tid) const {
  return tasks_.size() == 1 && tasks_.contains(tid);
}

// The common case of a program that loops over port instructions, taken
// in the fewest system calls: the SIGCHLD that tells of its next fault
// leads straight to it, without asking waitpid. That SIGCHLD may be an
// older one (one pending SIGCHLD stands for every change after it), so the
// fault is taken only when the task is in it now; anything else is left
// to waitpid.
void Tracer::follow_lone_task(pid_t tid) {
  while (wait_for_signal() == tid && is_lone_task(tid) && is_kernel_fault(tid)) {
    scheduler_.on_event(tid);
    on_fault(tid);
  }
}

// Blocks until a signal arrives. A SIGCHLD wakes the loop, and may name a
// task's fault. It also wakes when something falls due by itself (a drawer
// that opens while the program sleeps, a wait that ends), so that it is
// traced as it happens, not at the program's next step.
std::optional<pid_t> Tracer::wait_for_signal() {
  const int timeout_ms = waiting_timeout_ms();
  // With nothing due and no port file, only a signal can come: one
  // blocking read then.
  if (timeout_ms < 0 && devport_.fd() < 0) {
    return take_signals();
  }
  // The port file's requests come while the program runs (a poll entry
  // of -1 is ignored).
  std::array<pollfd, 2> ready{{{inbox_.fd(), POLLIN, 0}, {devport_.fd(), POLLIN, 0}}};
  if (poll(ready.data(), ready.size(), timeout_ms) == 0) {
    session_.catch_up();
    return std::nullopt;
  }
  if (ready[1].revents != 0) {
    devport_.serve();
  }
  if (ready[0].revents != 0) {
    return take_signals();
  }
  return std::nullopt;
}

std::optional<pid_t> Tracer::take_signals() {
  std::optional<pid_t> faulted;
  for (const signalfd_siginfo& info : inbox_.wait()) {
    if (info.ssi_signo == SIGCHLD && info.ssi_code == CLD_TRAPPED && info.ssi_status == SIGSEGV) {
      faulted = static_cast<pid_t>(info.ssi_pid);
    }
    on_signal_to_simulator(info);
  }
  return faulted;
}

void Tracer::on_signal_to_simulator(const signalfd_siginfo& info) {
  const auto sig = static_cast<int>(info.ssi_signo);
  // A signal from the program itself (kill(0, sig) reaches its whole
  // process group, cdbox-sim too) has reached the program already.
  if (sig == SIGCHLD || is_traced_process(static_cast<pid_t>(info.ssi_pid))) {
    return;
  }
  if (main_status_) {
    if (ends_leftover_processes(sig)) {
      end_leftover_processes();
    }
    return;
  }
  if (role_of(sig) == SignalRole::Forward) {
    session_.record(main_pid_, ev::Signal{sig});
    kill(main_pid_, sig);
  }
}

bool Tracer::is_traced_process(pid_t pid) const {
  return pid > 0 && std::any_of(tasks_.begin(), tasks_.end(),
                                [pid](const auto& entry) { return entry.second.tgid == pid; });
}

// SIGKILL, which no daemon can ignore, so cdbox-sim ends once their death
// notices are in.
void Tracer::end_leftover_processes() {
  if (ending_leftovers_) {
    return;
  }
  ending_leftovers_ = true;
  std::set<pid_t> processes;
  for (const auto& [tid, task] : tasks_) {
    processes.insert(task.tgid);
  }
  for (const pid_t pid : processes) {
    session_.record(pid, ev::Signal{SIGKILL});
    kill(pid, SIGKILL);
  }
}

void Tracer::dispatch(pid_t tid, int status) {
  scheduler_.on_event(tid);
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    on_gone(tid, status);
    return;
  }
  if (!WIFSTOPPED(status)) {
    return;
  }
  const int sig = WSTOPSIG(status);
  switch (status >> 16) {
    case PTRACE_EVENT_SECCOMP:
      on_seccomp_stop(tid);
      break;
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE:
      on_new_task(tid);
      break;
    case PTRACE_EVENT_EXEC:
      on_exec(tid);
      break;
    case PTRACE_EVENT_EXIT:
      on_exit_stop(tid);
      break;
    case PTRACE_EVENT_STOP:
      on_event_stop(tid, sig);
      break;
    default:
      on_signal_stop(tid, sig);
      break;
  }
}

Tracer::Task& Tracer::task_of(pid_t tid) {
  auto [it, inserted] = tasks_.try_emplace(tid);
  if (inserted) {
    it->second.tgid = thread_group_of(tid);
  }
  return it->second;
}

void Tracer::resume(pid_t tid, int sig) {
  Task& task = task_of(tid);
  if (!task.ready) {
    // A new task must not run before it has its parent's grants. A thread
    // comes from its own process, a process from its parent (CLONE_PARENT
    // aside).
    task.parked = true;
    task.creator_group = task.tgid != tid ? task.tgid : parent_process_of(tid);
    release_stuck_orphans();
    return;
  }
  restart(tid, PTRACE_CONT, sig);
}

void Tracer::restart(pid_t tid, __ptrace_request request, int sig) {
  if (ending_leftovers_) {
    // Made while the rest were being killed: it goes the same way.
    kill(task_of(tid).tgid, SIGKILL);
  }
  if (ptrace(request, tid, nullptr, sig) == 0) {
    return;
  }
  cannot_handle(tid, "restart it");
}

void Tracer::cannot_handle(pid_t tid, const std::string& what) {
  if (errno == ESRCH) {
    // Killed meanwhile: its death notice is on its way.
    return;
  }
  kill_task(tid, "cannot " + what + ": " + std::strerror(errno));
}

void Tracer::kill_task(pid_t tid, const std::string& why) {
  session_.violation(tid, why + "; the process is killed");
  // SIGKILL to one thread ends its whole process, even from a stop.
  syscall(SYS_tgkill, task_of(tid).tgid, tid, SIGKILL);
}

void Tracer::on_gone(pid_t tid, int status) {
  scheduler_.task_ended();
  auto it = tasks_.find(tid);
  if (it != tasks_.end()) {
    const Task& task = it->second;
    // The leader's death notice comes once the whole process has ended (a
    // leader that execs in another thread's place gives none).
    if (task.started && task.tgid == tid) {
      trace_process_end(tid, status);
    }
    const pid_t group = task.tgid;
    const PortGrants grants = task.grants;
    tasks_.erase(it);
    if (!is_traced_process(group)) {
      release_orphans(group, grants);
    }
  }
  if (tid == main_pid_) {
    main_status_ = status;
  }
  last_ended_ = tid;
  release_stuck_orphans();
}

// A parked task whose creator has gone already (killed while it forked,
// before this task's first stop came) will never see its creator's event;
// nor will any when only parked tasks are left (one made with CLONE_PARENT
// names a creator that is not its parent). They go on without grants.
void Tracer::release_stuck_orphans() {
  std::vector<pid_t> stuck;
  bool all_parked = !tasks_.empty();
  for (const auto& [tid, task] : tasks_) {
    all_parked = all_parked && task.parked;
    if (task.parked && !is_traced_process(task.creator_group)) {
      stuck.push_back(tid);
    }
  }
  if (all_parked) {
    release_orphans(0, PortGrants{});
    return;
  }
  for (const pid_t tid : stuck) {
    release_task(tid, PortGrants{});
  }
}

void Tracer::trace_process_end(pid_t pid, int status) {
  // The kernel does not stop a task killed by SIGKILL on its way out, so
  // its figures may be unknown: 0.
  const auto found = figures_.find(pid);
  const ProcessFigures figures = found != figures_.end() ? found->second : ProcessFigures{};
  if (found != figures_.end()) {
    figures_.erase(found);
  }
  const bool killed = WIFSIGNALED(status);
  session_.record(pid, ev::Ended{killed, killed ? WTERMSIG(status) : WEXITSTATUS(status),
                                 figures.write_syscalls, figures.peak_rss_kb});
}

void Tracer::release_orphans(pid_t creator_group, const PortGrants& grants) {
  std::vector<pid_t> orphans;
  for (const auto& [tid, task] : tasks_) {
    if (task.parked && (creator_group == 0 || task.creator_group == creator_group)) {
      orphans.push_back(tid);
    }
  }
  for (const pid_t tid : orphans) {
    release_task(tid, grants);
  }
}

void Tracer::release_task(pid_t tid, const PortGrants& grants) {
  Task& task = tasks_[tid];
  task.grants = grants;
  task.ready = true;
  task.parked = false;
  restart(tid, PTRACE_CONT);
}

void Tracer::on_new_task(pid_t parent) {
  unsigned long child_pid = 0;
  if (ptrace(PTRACE_GETEVENTMSG, parent, nullptr, &child_pid) != 0) {
    cannot_handle(parent, "read which task it started");
    return;
  }
  const auto child = static_cast<pid_t>(child_pid);
  const Task& from = task_of(parent);
  Task& task = task_of(child);
  // Port permissions are inherited, as the kernel copies them.
  task.grants = from.grants;
  task.started = from.started;
  task.ready = true;
  if (task.parked) {
    task.parked = false;
    restart(child, PTRACE_CONT);
  }
  resume(parent);
}

void Tracer::on_exec(pid_t tid) {
  unsigned long former = 0;
  ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
  const auto former_tid = static_cast<pid_t>(former);
  if (former_tid != tid && tasks_.contains(former_tid)) {
    // A thread other than the leader ran execve: it takes the leader's id.
    Task moved = std::move(tasks_[former_tid]);
    tasks_.erase(former_tid);
    moved.tgid = tid;
    tasks_[tid] = std::move(moved);
  }
  Task& task = task_of(tid);
  if (tid == main_pid_) {
    task.started = true;
    program_started_ = true;
  }
  const std::string path = task.exec_path.empty() ? executable_of(tid) : task.exec_path;
  task.exec_path.clear();
  session_.record(tid, ev::Exec{path});
  after_exec_time(tid);
  resume(tid);
}

// A thread is about to end, its memory still there: the figures of its
// process as it ends. The process has ended only when its leader's death
// notice comes, after every thread, with the status of the whole process.
void Tracer::on_exit_stop(pid_t tid) {
  const Task& task = task_of(tid);
  if (task.started) {
    figures_[task.tgid] = read_process_figures(task.tgid, tid);
  }
  // A leader that ends before its threads gives its death notice only
  // after them: until then it is a task that waits.
  if (task.tgid != tid || !has_other_threads(tid)) {
    scheduler_.task_ending(tid);
  }
  resume(tid);
}

bool Tracer::has_other_threads(pid_t leader) const {
  return std::any_of(tasks_.begin(), tasks_.end(), [leader](const auto& entry) {
    return entry.first != leader && entry.second.tgid == leader;
  });
}

void Tracer::on_event_stop(pid_t tid, int sig) {
  if (is_stopping_signal(sig)) {
    // A group-stop: the task stays stopped, as it would untraced, until
    // SIGCONT; PTRACE_LISTEN lets that SIGCONT through.
    restart(tid, PTRACE_LISTEN);
    scheduler_.job_stopped(tid);
    return;
  }
  resume(tid);
}

void Tracer::on_signal_stop(pid_t tid, int sig) {
  if (sig == SIGSEGV && is_kernel_fault(tid)) {
    on_fault(tid);
    return;
  }
  resume(tid, sig);
}

// A SIGSEGV the CPU raised, not one sent by kill: only such a one can be a
// port instruction. False too when tid is not in a signal stop now.
bool Tracer::is_kernel_fault(pid_t tid) {
  siginfo_t info{};
  return ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) == 0 && info.si_signo == SIGSEGV &&
         info.si_code == SI_KERNEL;
}

void Tracer::on_fault(pid_t tid) {
  switch (emulate_port_instruction(tid)) {
    case Emulation::Done:
      resume(tid);
      return;
    case Emulation::Stopped:
      return;
    case Emulation::NotPort:
      resume(tid, SIGSEGV);
      return;
  }
}

// A general protection fault may be a port instruction the task has no real
// privilege for.
Tracer::Emulation Tracer::emulate_port_instruction(pid_t tid) {
  auto regs = get_regs(tid);
  if (!regs) {
    cannot_handle(tid, "read its registers at a fault");
    return Emulation::Stopped;
  }
  std::array<std::uint8_t, kMaxInstructionLength> code{};
  int err = 0;
  // A port instruction is one to a few bytes: the aligned word at the
  // instruction pointer most often holds all of it. The decoder reads no
  // byte past the end of an instruction, so a decode of those bytes is the
  // decode of the whole; only one they cannot settle reads on.
  const std::size_t in_word = sizeof(long) - regs->rip % sizeof(long);
  std::size_t got = read_code(tid, regs->rip, std::span(code.data(), in_word), err);
  if (got == in_word &&
      decode_port_instruction(std::span(code.data(), got), in_long_mode(*regs)).status ==
          DecodeStatus::NotPort) {
    got = read_code(tid, regs->rip, code, err);
  }
  if (got == 0) {
    if (err == ESRCH) {
      return Emulation::Stopped;
    }
    // The instruction may be one to emulate: the task cannot go on as if
    // it had run, nor take a fault the CPU might not have given.
    kill_task(tid, "cannot read the instruction at " + code_address(regs->rip) + ": " +
                       std::strerror(err) +
                       " (the program's code is not readable by cdbox-sim, such as an executable "
                       "its user may run but not read; make it readable)");
    return Emulation::Stopped;
  }
  const Decoded decoded = decode_port_instruction(std::span(code.data(), got), in_long_mode(*regs));
  if (decoded.status == DecodeStatus::StringPort) {
    session_.violation(tid, "string port instruction (INS/OUTS) at " + code_address(regs->rip) +
                                " is not supported");
    return Emulation::NotPort;
  }
  if (decoded.status != DecodeStatus::Port) {
    return Emulation::NotPort;
  }
  if (!emulator_.execute(tid, task_of(tid).grants, decoded.insn, *regs)) {
    return Emulation::NotPort;
  }
  if (!set_regs(tid, *regs)) {
    cannot_handle(tid, "change its registers after a port instruction");
    return Emulation::Stopped;
  }
  if (decoded.insn.direction == PortDirection::Out) {
    after_port_write(tid);
  }
  return Emulation::Done;
}

// The first write that energizes a solenoid may be the moment a test wants
// the program interrupted.
void Tracer::after_port_write(pid_t tid) {
  real_time_net_.after_write(session_.controller().control(), tid, session_.clock().real_ns());
  const auto& sig = session_.options().signal_on_pulse;
  if (!sig || pulse_signal_sent_ || !session_.controller().solenoid_energized()) {
    return;
  }
  pulse_signal_sent_ = true;
  const pid_t target = task_of(tid).tgid;
  session_.record(target, ev::Signal{*sig});
  kill(target, *sig);
}

}  // namespace cdbox::sim
