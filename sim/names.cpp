// SPDX-License-Identifier: MIT
#include "sim/names.h"

#include <charconv>
#include <csignal>
#include <cstring>

namespace cdbox::sim {
namespace {

// The kernel's errno values run from 1 to 4095.
constexpr int kMaxErrno = 4095;
// The kernel's first real-time signal; the C library keeps the first ones
// for itself and starts its SIGRTMIN above them.
constexpr int kKernelRtMin = 32;

std::optional<int> parse_positive(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || value <= 0) {
    return std::nullopt;
  }
  return value;
}

// "RTMIN", "RTMIN+N", "RTMAX", "RTMAX-N" (without "SIG").
std::optional<int> parse_realtime(std::string_view text) {
  const bool from_min = text.starts_with("RTMIN");
  if (!from_min && !text.starts_with("RTMAX")) {
    return std::nullopt;
  }
  text.remove_prefix(5);
  const int base = from_min ? SIGRTMIN : SIGRTMAX;
  if (text.empty()) {
    return base;
  }
  if (text.front() != (from_min ? '+' : '-')) {
    return std::nullopt;
  }
  text.remove_prefix(1);
  const auto offset = parse_positive(text);
  if (!offset) {
    return std::nullopt;
  }
  const int sig = from_min ? base + *offset : base - *offset;
  return sig >= SIGRTMIN && sig <= SIGRTMAX ? std::optional(sig) : std::nullopt;
}

}  // namespace

std::optional<int> parse_errno(std::string_view text) {
  if (auto number = parse_positive(text)) {
    // Only a value the kernel could return, and one with a name.
    return *number <= kMaxErrno && strerrorname_np(*number) != nullptr ? number : std::nullopt;
  }
  for (int err = 1; err <= kMaxErrno; ++err) {
    const char* name = strerrorname_np(err);
    if (name != nullptr && text == name) {
      return err;
    }
  }
  return std::nullopt;
}

std::string errno_name(int err) {
  const char* name = strerrorname_np(err);
  return name != nullptr ? std::string(name) : std::to_string(err);
}

std::optional<int> parse_signal(std::string_view text) {
  if (auto number = parse_positive(text)) {
    return *number < NSIG ? number : std::nullopt;
  }
  if (text.starts_with("SIG")) {
    text.remove_prefix(3);
  }
  if (auto sig = parse_realtime(text)) {
    return sig;
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    const char* abbrev = sigabbrev_np(sig);
    if (abbrev != nullptr && text == abbrev) {
      return sig;
    }
  }
  return std::nullopt;
}

std::string signal_name(int sig) {
  if (const char* abbrev = sigabbrev_np(sig)) {
    return std::string("SIG") + abbrev;
  }
  // Counted from the SIGRTMIN a program sees; the C library's own signals
  // below it come out as SIGRTMIN-N.
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  }
  if (sig >= kKernelRtMin && sig < SIGRTMIN) {
    return "SIGRTMIN-" + std::to_string(SIGRTMIN - sig);
  }
  return std::to_string(sig);
}

}  // namespace cdbox::sim
