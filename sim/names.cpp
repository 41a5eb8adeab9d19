// SPDX-License-Identifier: MIT
#include "sim/names.h"

#include <charconv>
#include <csignal>
#include <cstring>

namespace cdbox::sim {
namespace {

// Highest errno value the C library may know a name for.
constexpr int kMaxErrno = 200;

std::optional<int> parse_positive(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || value <= 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<int> parse_errno(std::string_view text) {
  if (auto number = parse_positive(text)) {
    return number;
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
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  }
  return std::to_string(sig);
}

}  // namespace cdbox::sim
