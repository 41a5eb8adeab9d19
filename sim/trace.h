// SPDX-License-Identifier: MIT
// Writer of the trace: one event a line, "TIME PID EVENT FIELDS...".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace cdbox::sim {

class TraceWriter {
 public:
  // A writer that drops every event.
  TraceWriter() = default;
  // Opens path for writing ("-": standard error); nullptr when it cannot.
  static std::unique_ptr<TraceWriter> open(const std::string& path);

  // Writes "TIME PID TEXT". Each line is flushed, so a reader can follow
  // the trace while the program runs.
  // Once a write fails the trace stops: later events are dropped.
  void event(std::int64_t time_ns, pid_t pid, const std::string& text);
  // False for the writer that drops every event.
  [[nodiscard]] bool is_open() const { return file_ != nullptr; }
  // The errno of the write that failed; 0 while the trace is whole.
  [[nodiscard]] int error() const { return error_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const;
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
  int error_ = 0;
};

// A field that comes from the program (a path), made safe for one line of
// blank-separated fields: a backslash as \\, \n and \t as such, and every
// other byte below 0x21 or above 0x7e as \xHH.
std::string escape_field(std::string_view text);
// Seconds with six decimals, rounded to the microsecond: "0.300000".
std::string format_seconds(std::int64_t ns);
// A port number in lowercase hex without leading zeros: "0x482".
std::string format_port(unsigned port);
// A port value in hex with two digits per byte of width: "0x0c", "0x1234".
std::string format_port_value(std::uint32_t value, unsigned width);

}  // namespace cdbox::sim
