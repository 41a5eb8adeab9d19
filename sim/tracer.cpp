// SPDX-License-Identifier: MIT
#include "sim/tracer.h"

#include <poll.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "sim/names.h"
#include "sim/tracee.h"

namespace cdbox::sim {
namespace {

bool is_stopping_signal(int sig) {
  return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// Signals the loop takes through its signalfd rather than by default action.
sigset_t loop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

Tracer::Tracer(Session& session, pid_t main_pid)
    : session_(session),
      emulator_(session),
      main_pid_(main_pid),
      scheduler_(session.clock(), task_states_),
      real_time_net_(session.options().max_hold_ms * 1'000'000, session.solenoid_bits()) {
  Task& main = tasks_[main_pid];
  main.tgid = main_pid;
  main.ready = true;
  main.started = false;
}

std::optional<int> Tracer::run() {
  const sigset_t set = loop_signals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
    return std::nullopt;
  }
  signals_.reset(signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals_.valid()) {
    std::fprintf(stderr, "cdbox-sim: cannot make a signalfd: %s\n", std::strerror(errno));
    return std::nullopt;
  }
  // Ctrl-C and Ctrl-\ at the terminal are meant for the program; the
  // simulator stays to finish its trace.
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);

  while (true) {
    int status = 0;
    const pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
    if (tid > 0) {
      dispatch(tid, status);
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

// Blocks until a signal arrives; passes SIGTERM and SIGHUP on to the
// program. SIGCHLD only wakes the loop. It also wakes when something falls
// due by itself (a drawer that opens while the program sleeps, a wait that
// ends), so that it is traced as it happens, not at the program's next step.
void Tracer::wait_for_signal() {
  const int timeout_ms = waiting_timeout_ms();
  pollfd ready{signals_.get(), POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) == 0) {
    session_.catch_up();
    return;
  }
  signalfd_siginfo info{};
  if (read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
    return;
  }
  const int sig = static_cast<int>(info.ssi_signo);
  if ((sig == SIGTERM || sig == SIGHUP) && !main_status_) {
    session_.record(main_pid_, ev::Signal{sig});
    kill(main_pid_, sig);
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
    // A new task must not run before it has its parent's grants.
    task.parked = true;
    return;
  }
  ptrace(PTRACE_CONT, tid, nullptr, sig);
}

void Tracer::on_gone(pid_t tid, int status) {
  auto it = tasks_.find(tid);
  if (it != tasks_.end()) {
    Task& task = it->second;
    // The kernel does not stop a task killed by SIGKILL on its way out, so
    // nothing could be read of it then.
    if (!task.exit_reported && task.started && task.tgid == tid && WIFSIGNALED(status)) {
      session_.record(tid, ev::Ended{true, WTERMSIG(status), 0, 0});
    }
    tasks_.erase(it);
  }
  if (tid == main_pid_) {
    main_status_ = status;
  }
  last_ended_ = tid;
}

void Tracer::on_new_task(pid_t parent) {
  unsigned long child_pid = 0;
  ptrace(PTRACE_GETEVENTMSG, parent, nullptr, &child_pid);
  const auto child = static_cast<pid_t>(child_pid);
  const Task& from = task_of(parent);
  Task& task = task_of(child);
  // Port permissions are inherited, as the kernel copies them.
  task.grants = from.grants;
  task.started = from.started;
  task.ready = true;
  if (task.parked) {
    task.parked = false;
    ptrace(PTRACE_CONT, child, nullptr, 0);
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

void Tracer::on_exit_stop(pid_t tid) {
  Task& task = task_of(tid);
  unsigned long status = 0;
  ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &status);
  if (task.started && task.tgid == tid) {
    const ProcessFigures figures = read_process_figures(tid);
    const int wait_status = static_cast<int>(status);
    const bool killed = WIFSIGNALED(wait_status);
    session_.record(tid,
                    ev::Ended{killed, killed ? WTERMSIG(wait_status) : WEXITSTATUS(wait_status),
                              figures.write_syscalls, figures.peak_rss_kb});
    task.exit_reported = true;
  }
  resume(tid);
}

void Tracer::on_event_stop(pid_t tid, int sig) {
  if (is_stopping_signal(sig)) {
    // A group-stop: the task stays stopped, as it would untraced, until
    // SIGCONT; PTRACE_LISTEN lets that SIGCONT through.
    ptrace(PTRACE_LISTEN, tid, nullptr, 0);
    scheduler_.job_stopped(tid);
    return;
  }
  resume(tid);
}

void Tracer::on_signal_stop(pid_t tid, int sig) {
  if (sig == SIGSEGV) {
    siginfo_t info{};
    if (ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) == 0 && info.si_code == SI_KERNEL &&
        emulate_port_instruction(tid)) {
      resume(tid);
      return;
    }
  }
  resume(tid, sig);
}

// A general protection fault may be a port instruction the task has no real
// privilege for. Returns true when it was emulated and the fault is spent.
bool Tracer::emulate_port_instruction(pid_t tid) {
  auto regs = get_regs(tid);
  if (!regs) {
    return false;
  }
  std::array<std::uint8_t, kMaxInstructionLength> code{};
  const std::size_t got = read_memory(tid, regs->rip, code);
  const Decoded decoded = decode_port_instruction(std::span(code.data(), got), in_long_mode(*regs));
  if (decoded.status == DecodeStatus::StringPort) {
    char where[32];
    std::snprintf(where, sizeof where, "0x%llx", regs->rip);
    session_.violation(
        tid, std::string("string port instruction (INS/OUTS) at ") + where + " is not supported");
    return false;
  }
  if (decoded.status != DecodeStatus::Port) {
    return false;
  }
  if (!emulator_.execute(tid, task_of(tid).grants, decoded.insn, *regs) || !set_regs(tid, *regs)) {
    return false;
  }
  if (decoded.insn.direction == PortDirection::Out) {
    after_port_write(tid);
  }
  return true;
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
