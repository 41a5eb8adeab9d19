// SPDX-License-Identifier: MIT
#include "tests/harness/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace cdbox::test {
namespace {

using Clock = std::chrono::steady_clock;

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Canonical input, so nothing is read before Enter, but no echo and no
// output processing, so output arrives byte for byte as written.
void make_plain_terminal(int fd) {
  termios tio{};
  tcgetattr(fd, &tio);
  tio.c_lflag |= ICANON;
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(fd, TCSANOW, &tio);
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  execv(args[0], args.data());
  std::perror(args[0]);
  _exit(127);
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& argv, Terminal terminal,
                       const std::optional<std::string>& stdin_path) {
  std::signal(SIGPIPE, SIG_IGN);
  is_pty_ = terminal == Terminal::Pty;
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int master = -1;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  if (is_pty_) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      throw std::runtime_error("posix_openpt");
    }
    slave_name_ = ptsname(master);
    // Set before anything is sent, so no early input is echoed.
    make_plain_terminal(master);
  } else if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }

  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork");
  }
  if (pid_ == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    // Tests end programs with SIGQUIT too; no core files.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (is_pty_) {
      setsid();
      const int slave = open(slave_name_.c_str(), O_RDWR);
      ioctl(slave, TIOCSCTTY, 0);
      dup2(slave, 0);
      dup2(slave, 1);
    } else {
      setpgid(0, 0);
      dup2(in_pipe[0], 0);
      dup2(out_pipe[1], 1);
    }
    if (stdin_path) {
      const int fd = open(stdin_path->c_str(), O_RDONLY);
      dup2(fd, 0);
    }
    dup2(err_pipe[1], 2);
    exec_child(argv);
  }
  close(err_pipe[1]);
  err_fd_ = err_pipe[0];
  if (is_pty_) {
    in_fd_ = master;
    out_fd_ = master;
  } else {
    close(in_pipe[0]);
    close(out_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    if (stdin_path) {
      close(in_fd_);
      in_fd_ = -1;
    }
  }
  for (int fd : {in_fd_, out_fd_, err_fd_}) {
    if (fd >= 0) {
      set_nonblocking(fd);
    }
  }
}

SimProcess::~SimProcess() {
  if (!exit_status_) {
    kill_all();
  }
  if (in_fd_ >= 0 && in_fd_ != out_fd_) {
    close(in_fd_);
  }
  for (int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void SimProcess::kill_all() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

void SimProcess::send(std::string_view bytes) {
  pending_input_.append(bytes);
  pump(0);
}

void SimProcess::close_input() {
  close_input_after_send_ = true;
  pump(0);
}

void SimProcess::close_output() {
  if (is_pty_) {
    return;
  }
  poll_now();
  if (out_fd_ >= 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
}

bool SimProcess::pump(int timeout_ms) {
  if (!is_pty_ && in_fd_ >= 0 && pending_input_.empty() && close_input_after_send_) {
    close(in_fd_);
    in_fd_ = -1;
  }
  pollfd fds[3];
  nfds_t count = 0;
  if (out_fd_ >= 0) {
    fds[count++] = {out_fd_,
                    static_cast<short>(POLLIN | (is_pty_ && !pending_input_.empty() ? POLLOUT : 0)),
                    0};
  }
  if (err_fd_ >= 0) {
    fds[count++] = {err_fd_, POLLIN, 0};
  }
  if (!is_pty_ && in_fd_ >= 0 && !pending_input_.empty()) {
    fds[count++] = {in_fd_, POLLOUT, 0};
  }
  if (count == 0) {
    return false;
  }
  if (poll(fds, count, timeout_ms) <= 0) {
    return true;
  }
  for (nfds_t i = 0; i < count; ++i) {
    const pollfd& p = fds[i];
    if ((p.revents & POLLOUT) != 0) {
      const ssize_t n = write(p.fd, pending_input_.data(), pending_input_.size());
      if (n > 0) {
        pending_input_.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EPIPE) {
        pending_input_.clear();
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[65536];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n > 0) {
        (p.fd == err_fd_ ? err_ : out_).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // End of output (a pty says EIO once the last writer has gone).
        close(p.fd);
        if (p.fd == err_fd_) {
          err_fd_ = -1;
        } else {
          if (is_pty_) {
            in_fd_ = -1;
          }
          out_fd_ = -1;
        }
      }
    }
  }
  return true;
}

void SimProcess::poll_now() {
  while (pump(0) && (out_fd_ >= 0 || err_fd_ >= 0)) {
    pollfd probe[2];
    nfds_t count = 0;
    for (int fd : {out_fd_, err_fd_}) {
      if (fd >= 0) {
        probe[count++] = {fd, POLLIN, 0};
      }
    }
    if (count == 0 || poll(probe, count, 0) <= 0) {
      break;
    }
  }
}

bool SimProcess::wait_for(const std::function<bool(const std::string&)>& done,
                          milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done(out_)) {
    if (Clock::now() >= deadline || !pump(remaining_ms(deadline))) {
      return done(out_);
    }
  }
  return true;
}

std::optional<int> SimProcess::wait_exit(milliseconds timeout) {
  if (exit_status_) {
    return exit_status_;
  }
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const bool open = pump(std::min(remaining_ms(deadline), 50));
    int status = 0;
    if (!open && waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      pid_ = -1;
      return exit_status_;
    }
    if (!open) {
      usleep(1000);
    }
  }
  kill_all();
  return std::nullopt;
}

bool SimProcess::terminal_input_ready() {
  while (is_pty_ && !pending_input_.empty() && in_fd_ >= 0 && pump(50)) {
  }
  if (!is_pty_ || !pending_input_.empty()) {
    return false;
  }
  const int fd = open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // poll(2) on the terminal runs its pending input through the line
  // discipline first, and answers for it.
  pollfd ready{fd, POLLIN, 0};
  const bool readable = poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
  close(fd);
  return readable;
}

char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  // The state follows the command name, which may hold blanks and ')'.
  const std::size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

bool is_stopped(pid_t pid) {
  const char state = process_state(pid);
  return state == 'T' || state == 't';
}

bool wait_until(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    usleep(5000);
  }
  return true;
}

bool wait_until_stopped(pid_t pid, milliseconds timeout) {
  return wait_until([pid] { return is_stopped(pid); }, timeout);
}

bool wait_until_sleeping(pid_t pid, milliseconds timeout) {
  return wait_until([pid] { return process_state(pid) == 'S'; }, timeout);
}

SchedulingState scheduling_state(pid_t pid) {
  SchedulingState result;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "State:") {
      status >> result.state;
    } else if (key == "SigPnd:" || key == "ShdPnd:") {
      std::string mask;
      status >> mask;
      result.signal_pending |= mask.find_first_not_of('0') != std::string::npos;
    } else if (key == "voluntary_ctxt_switches:") {
      status >> result.voluntary_switches;
    }
    status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return result;
}

bool wait_until_left_stopped(pid_t tracer, pid_t pid, milliseconds timeout) {
  bool gone = false;
  const bool settled = wait_until(
      [&] {
        const SchedulingState before = scheduling_state(tracer);
        const char state = process_state(pid);
        const SchedulingState after = scheduling_state(tracer);
        gone = state == '?' || state == 'Z' || state == 'X';
        return gone ||
               (before.state == 'S' && !before.signal_pending && (state == 't' || state == 'T') &&
                after.state == 'S' && !after.signal_pending &&
                after.voluntary_switches == before.voluntary_switches);
      },
      timeout);
  return settled && !gone;
}

}  // namespace cdbox::test
