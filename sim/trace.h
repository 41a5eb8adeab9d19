// SPDX-License-Identifier: MIT
// Writer of the trace: one event a line, "TIME PID EVENT FIELDS...".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace cdbox::sim {

class TraceWriter {
 public:
  // A writer that drops every event.
  TraceWriter() = default;
  // Opens path for writing ("-": standard error); nullptr when it cannot.
  static std::unique_ptr<TraceWriter> open(const std::string& path);

  // Writes "TIME PID TEXT". Each line is flushed, so a reader can follow
  // the trace while the program runs.
  void event(std::int64_t time_ns, pid_t pid, const std::string& text);
  // False for the writer that drops every event.
  [[nodiscard]] bool is_open() const { return file_ != nullptr; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const;
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
};

// Seconds with six decimals, rounded to the microsecond: "0.300000".
std::string format_seconds(std::int64_t ns);
// A port number in lowercase hex without leading zeros: "0x482".
std::string format_port(unsigned port);
// A port value in hex with two digits per byte of width: "0x0c", "0x1234".
std::string format_port_value(std::uint32_t value, unsigned width);

}  // namespace cdbox::sim
