// SPDX-License-Identifier: MIT
// A program run under cdbox-sim for a test: on pipes or on a pseudo-terminal,
// with every wait bounded by a deadline, so a hung program fails its test
// instead of hanging the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cdbox::test {

using std::chrono::milliseconds;

// Long enough for any run under --virtual-time on a loaded CI machine.
constexpr milliseconds kDefaultTimeout{30000};

enum class Terminal {
  Pipes,  // standard input, output and error are pipes
  Pty,    // input and output are a pseudo-terminal in canonical mode
          // without echo or output processing; error stays a pipe
};

class SimProcess {
 public:
  // Starts argv (a full command line: cdbox-sim and its arguments).
  // stdin_path, when given, is opened as standard input instead of a pipe.
  SimProcess(const std::vector<std::string>& argv, Terminal terminal,
             const std::optional<std::string>& stdin_path = std::nullopt);
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  // Kills whatever of the run is still alive.
  ~SimProcess();

  // Queues bytes for standard input; they are written while waiting.
  void send(std::string_view bytes);
  // Closes standard input once the queued bytes are written.
  void close_input();
  // Stops reading standard output and closes its pipe, as a reader that
  // went away. Output written from then on is lost.
  void close_output();

  // Moves data until done(output so far) holds; false on timeout or when
  // output ended first.
  bool wait_for(const std::function<bool(const std::string&)>& done,
                milliseconds timeout = kDefaultTimeout);
  // Moves data until the process ends. Returns its exit status (128+N for
  // a signal), or nullopt on timeout, when the process is killed.
  std::optional<int> wait_exit(milliseconds timeout = kDefaultTimeout);
  // Data moved so far, without waiting for more.
  void poll_now();
  // On a pseudo-terminal: makes the terminal take all input sent so far
  // (written and through its line discipline, so a reader it wakes is
  // awake on return), and tells whether a read would find data now; in
  // canonical mode only a whole line counts. False on pipes.
  bool terminal_input_ready();

  [[nodiscard]] const std::string& out() const { return out_; }
  [[nodiscard]] const std::string& err() const { return err_; }
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  // One round of poll(2); false when nothing is left to move.
  bool pump(int timeout_ms);
  void kill_all();

  pid_t pid_ = -1;
  int in_fd_ = -1;   // we write: pipe or pty master
  int out_fd_ = -1;  // we read standard output: pipe or pty master
  int err_fd_ = -1;
  bool close_input_after_send_ = false;
  bool is_pty_ = false;
  std::string slave_name_;
  std::string pending_input_;
  std::string out_;
  std::string err_;
  std::optional<int> exit_status_;
};

// Polls done every few milliseconds until it holds; false on timeout.
bool wait_until(const std::function<bool()>& done, milliseconds timeout = kDefaultTimeout);

// Waits until pid is stopped (a traced process in a group-stop shows as
// 't', an untraced one as 'T'); false on timeout.
bool wait_until_stopped(pid_t pid, milliseconds timeout = kDefaultTimeout);
// True when pid is stopped now.
bool is_stopped(pid_t pid);
// The state letter of /proc/PID/stat ('R', 'S', 'T', ...); '?' when gone.
char process_state(pid_t pid);
// Waits until pid sleeps ('S'), as in a blocking read or in poll(2).
bool wait_until_sleeping(pid_t pid, milliseconds timeout = kDefaultTimeout);

// What /proc/PID/status tells of the scheduling of a process.
struct SchedulingState {
  char state = '?';              // as process_state
  bool signal_pending = false;   // a signal waits for it
  long voluntary_switches = -1;  // times it went to sleep
};
SchedulingState scheduling_state(pid_t pid);

// Waits until the tracer (cdbox-sim) has handled a stop of pid and left
// pid stopped: pid is stopped while the tracer sleeps with no signal
// pending and does not wake in between. A tracer that let pid run on
// would have made it runnable before going back to sleep. False on
// timeout or once pid is gone.
bool wait_until_left_stopped(pid_t tracer, pid_t pid, milliseconds timeout = kDefaultTimeout);

}  // namespace cdbox::test
