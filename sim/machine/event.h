// SPDX-License-Identifier: MIT
// The events of a run, as values. Front ends and devices make them; sinks
// (the text trace, the waveform, the violation list) decide what each looks
// like. Adding an event is adding a struct here and its case in the sinks
// that show it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <variant>

namespace cdbox::sim {

namespace ev {

// The process now runs path.
struct Exec {
  std::string path;
};
// iopl(level) or ioperm(from, count, on), answered with result (0 or
// -errno).
struct Iopl {
  std::uint64_t level = 0;
  long long result = 0;
};
struct Ioperm {
  std::uint64_t from = 0;
  std::uint64_t count = 0;
  int on = 0;
  long long result = 0;
};
// An open of /dev/port: result 0 when the simulator's file was opened in
// its place, else -errno.
struct DevPortOpen {
  long long result = 0;
};
// A port instruction of width bytes (1, 2 or 4).
struct PortIn {
  std::uint16_t port = 0;
  unsigned width = 1;
  std::uint32_t value = 0;
};
struct PortOut {
  std::uint16_t port = 0;
  unsigned width = 1;
  std::uint32_t value = 0;
};
// A sleep asked for, of ns nanoseconds.
struct Sleep {
  std::int64_t ns = 0;
};
// The controller's registers took a new value.
struct ControlRegister {
  std::uint8_t value = 0;
};
struct StatusRegister {
  std::uint8_t value = 0;
};
// A drawer's solenoid was energized or released.
struct Solenoid {
  int drawer = 0;
  bool on = false;
};
// A drawer opened or shut; by_hand: the operator did it (--at).
struct Drawer {
  int drawer = 0;
  bool open = false;
  bool by_hand = false;
};
// A jammed drawer's solenoid was energized long enough, and it stayed shut.
struct Jammed {
  int drawer = 0;
};
// The simulator sent a signal.
struct Signal {
  int sig = 0;
};
// A safety violation: a fault of the program, that fails the run.
struct Violation {
  std::string text;
};
// Something the program did that is likely not what it meant; the run
// does not fail for it.
struct Warning {
  std::string text;
};
// A process ended: exit code or killing signal, with its figures.
struct Ended {
  bool killed = false;
  int code = 0;  // exit status, or signal number when killed
  std::uint64_t write_syscalls = 0;
  std::uint64_t peak_rss_kb = 0;
};

}  // namespace ev

using EventBody =
    std::variant<ev::Exec, ev::Iopl, ev::Ioperm, ev::DevPortOpen, ev::PortIn, ev::PortOut,
                 ev::Sleep, ev::ControlRegister, ev::StatusRegister, ev::Solenoid, ev::Drawer,
                 ev::Jammed, ev::Signal, ev::Violation, ev::Warning, ev::Ended>;

struct Event {
  std::int64_t time_ns = 0;  // on the simulator's clock
  pid_t pid = 0;             // the process it belongs to; 0: the operator
  EventBody body;
};

}  // namespace cdbox::sim
