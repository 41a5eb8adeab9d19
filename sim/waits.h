// SPDX-License-Identifier: MIT
// What a trapped wait call asks for: a pure timed wait (how long, or until
// when on which clock, and where the call reports the time left), or a call
// the kernel must run itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace cdbox::sim {

enum class WaitCall { Nanosleep, ClockNanosleep, Select, Pselect6, Poll, Ppoll };

// How a call reports the time it had left.
enum class TimeLeft { None, Timespec, Timeval };

struct TimedWait {
  bool absolute = false;
  int clock_id = 0;     // the clock of an absolute wait
  std::int64_t ns = 0;  // the duration, or the absolute time on clock_id
  TimeLeft left = TimeLeft::None;
  std::uint64_t left_addr = 0;  // where the time left goes; 0: nowhere
  // select, pselect6 and ppoll write the time left when the timeout runs
  // out too (zero); nanosleep writes it only when interrupted.
  bool left_on_timeout = false;
};

// Reads size bytes of the tracee at addr into out; false when it cannot.
using MemoryReader = std::function<bool(std::uint64_t addr, std::span<std::uint8_t> out)>;

// The timed wait the call with these system call arguments asks for; nullopt
// when the kernel must run it: a bad pointer or timespec (the kernel fails
// it with its own errno), an infinite timeout, a signal mask to wait with,
// descriptors to watch, or a clock that virtual time leaves to the kernel.
std::optional<TimedWait> parse_wait(WaitCall call, const std::array<std::uint64_t, 6>& args,
                                    const MemoryReader& read);

// A timespec's nanoseconds, saturating at the latest representable time;
// nullopt when the kernel rejects it (negative, or 10^9 ns or more).
std::optional<std::int64_t> timespec_ns(std::int64_t sec, std::int64_t nsec);
// The same for select's timeval, which the kernel normalizes first.
std::optional<std::int64_t> timeval_ns(std::int64_t sec, std::int64_t usec);

}  // namespace cdbox::sim
