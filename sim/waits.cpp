// SPDX-License-Identifier: MIT
#include "sim/waits.h"

#include <ctime>

#include "sim/clock.h"
#include "sim/machine/defaults.h"
#include "sim/program_clocks.h"

namespace cdbox::sim {
namespace {

struct TwoWords {
  std::int64_t first = 0;
  std::int64_t second = 0;
};

std::optional<TwoWords> read_words(const MemoryReader& read, std::uint64_t addr) {
  TwoWords words;
  if (addr == 0 || !read(addr, std::span(reinterpret_cast<std::uint8_t*>(&words), sizeof words))) {
    return std::nullopt;
  }
  return words;
}

std::optional<std::int64_t> read_timespec(const MemoryReader& read, std::uint64_t addr) {
  const auto ts = read_words(read, addr);
  return ts ? timespec_ns(ts->first, ts->second) : std::nullopt;
}

// The relative wait of a call whose timeout is a timespec at addr.
std::optional<TimedWait> relative_timespec_wait(const MemoryReader& read, std::uint64_t addr,
                                                std::uint64_t left_addr, bool left_on_timeout) {
  const auto ns = read_timespec(read, addr);
  if (!ns) {
    return std::nullopt;
  }
  return TimedWait{false, 0, *ns, TimeLeft::Timespec, left_addr, left_on_timeout};
}

// select and pselect6 are pure waits with no descriptor to watch.
bool watches_nothing(const std::array<std::uint64_t, 6>& args) {
  const auto nfds = static_cast<int>(args[0]);
  return nfds == 0 || (nfds > 0 && args[1] == 0 && args[2] == 0 && args[3] == 0);
}

std::optional<TimedWait> clock_nanosleep_wait(const std::array<std::uint64_t, 6>& args,
                                              const MemoryReader& read) {
  const auto clock_id = static_cast<int>(args[0]);
  if (!ProgramClocks::sleepable(clock_id)) {
    return std::nullopt;
  }
  // The kernel looks at no other bit of the flags.
  if ((args[1] & TIMER_ABSTIME) == 0) {
    return relative_timespec_wait(read, args[2], args[3], false);
  }
  const auto ns = read_timespec(read, args[2]);
  if (!ns) {
    return std::nullopt;
  }
  return TimedWait{true, clock_id, *ns, TimeLeft::None, 0, false};
}

std::optional<TimedWait> select_wait(const std::array<std::uint64_t, 6>& args,
                                     const MemoryReader& read) {
  if (!watches_nothing(args)) {
    return std::nullopt;
  }
  const auto tv = read_words(read, args[4]);
  const auto ns = tv ? timeval_ns(tv->first, tv->second) : std::nullopt;
  if (!ns) {
    return std::nullopt;
  }
  return TimedWait{false, 0, *ns, TimeLeft::Timeval, args[4], true};
}

std::optional<TimedWait> pselect6_wait(const std::array<std::uint64_t, 6>& args,
                                       const MemoryReader& read) {
  if (!watches_nothing(args)) {
    return std::nullopt;
  }
  // The sixth argument points at {sigset pointer, size}; a mask to wait
  // with makes it a wait for signals too, which the kernel does.
  if (args[5] != 0) {
    const auto mask = read_words(read, args[5]);
    if (!mask || mask->first != 0) {
      return std::nullopt;
    }
  }
  return relative_timespec_wait(read, args[4], args[4], true);
}

std::optional<TimedWait> poll_wait(const std::array<std::uint64_t, 6>& args) {
  const auto timeout_ms = static_cast<int>(args[2]);
  if (static_cast<unsigned>(args[1]) != 0 || timeout_ms < 0) {
    return std::nullopt;
  }
  return TimedWait{false, 0, std::int64_t{timeout_ms} * kNsPerMs, TimeLeft::None, 0, false};
}

std::optional<TimedWait> ppoll_wait(const std::array<std::uint64_t, 6>& args,
                                    const MemoryReader& read) {
  if (static_cast<unsigned>(args[1]) != 0 || args[3] != 0) {
    return std::nullopt;
  }
  return relative_timespec_wait(read, args[2], args[2], true);
}

}  // namespace

std::optional<std::int64_t> timespec_ns(std::int64_t sec, std::int64_t nsec) {
  if (sec < 0 || nsec < 0 || nsec >= kNsPerSecond) {
    return std::nullopt;
  }
  if (sec > (kTimeMax - nsec) / kNsPerSecond) {
    return kTimeMax;
  }
  return sec * kNsPerSecond + nsec;
}

std::optional<std::int64_t> timeval_ns(std::int64_t sec, std::int64_t usec) {
  std::int64_t whole = 0;
  if (__builtin_add_overflow(sec, usec / kUsPerSecond, &whole)) {
    return std::nullopt;
  }
  return timespec_ns(whole, (usec % kUsPerSecond) * 1000);
}

std::optional<TimedWait> parse_wait(WaitCall call, const std::array<std::uint64_t, 6>& args,
                                    const MemoryReader& read) {
  switch (call) {
    case WaitCall::Nanosleep:
      return relative_timespec_wait(read, args[0], args[1], false);
    case WaitCall::ClockNanosleep:
      return clock_nanosleep_wait(args, read);
    case WaitCall::Select:
      return select_wait(args, read);
    case WaitCall::Pselect6:
      return pselect6_wait(args, read);
    case WaitCall::Poll:
      return poll_wait(args);
    case WaitCall::Ppoll:
      return ppoll_wait(args, read);
  }
  return std::nullopt;
}

}  // namespace cdbox::sim
