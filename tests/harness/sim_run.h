// SPDX-License-Identifier: MIT
// Running a program under cdbox-sim with a trace, and reading that trace.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/sim_process.h"

namespace cdbox::test {

// Paths of the built programs, set by the build.
std::string sim_path();
std::string tester_path();
std::string probe_path();

// One line of a trace: "TIME PID EVENT FIELDS...".
struct TraceLine {
  std::int64_t time_us = 0;
  pid_t pid = 0;
  std::string text;  // "EVENT FIELDS...", as written

  // text without the figures of exit and killed lines ("exit 0"), and
  // without the path of exec lines ("exec").
  [[nodiscard]] std::string event() const;
};

// Parses a whole trace; lines that do not parse fail the calling test.
std::vector<TraceLine> parse_trace(const std::string& text);

// A temporary directory, removed with its files.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct SimRun {
  std::optional<int> status;  // nullopt: timed out
  std::string out;
  std::string err;
  std::vector<TraceLine> trace;

  // The events of the trace, by event(), in order.
  [[nodiscard]] std::vector<std::string> events() const;
  // Values written to port, in order ("0x10", ...).
  [[nodiscard]] std::vector<std::string> writes_to(const std::string& port) const;
};

struct SimCommand {
  std::vector<std::string> options;  // for cdbox-sim, before "--"
  std::vector<std::string> program;  // PROGRAM and its arguments
  std::string input;                 // standard input, then end of input
  std::optional<std::string> stdin_path;
  Terminal terminal = Terminal::Pipes;
  // Runs cdbox-sim when given: a command line that ends by executing the
  // arguments that follow it (setpriv, unshare, a shell that redirects).
  std::vector<std::string> launcher;
  // The cdbox-sim to run; empty: the one this build made.
  std::string sim;
};

// The command line that runs command under cdbox-sim tracing to trace_path.
std::vector<std::string> sim_command_line(const SimCommand& command, const std::string& trace_path);

// Runs command to its end with a trace.
SimRun run_sim(const SimCommand& command, milliseconds timeout = kDefaultTimeout);

std::string read_file(const std::string& path);

// Copies the program at path into dir, where any user can run it (a build
// folder inside a private one is out of an ordinary user's reach); returns
// the copy's path.
std::string copy_for_any_user(const TempDir& dir, const std::string& path);

// A byte as the trace writes it: "0x0c".
std::string hex_byte(unsigned value);

// The first line starting with prefix of a trace that is still being
// written, reading only lines that are whole; nullopt when none has
// appeared by the timeout, which fails the calling test with the lines
// seen so far.
std::optional<TraceLine> wait_for_trace_line(const std::string& path, const std::string& prefix,
                                             milliseconds timeout = kDefaultTimeout);

}  // namespace cdbox::test
