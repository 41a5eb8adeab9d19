// SPDX-License-Identifier: MIT
// Symbolic names of errno values and signals, both ways.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cdbox::sim {

// Parses "EPERM" or a positive number; nullopt when it is neither.
std::optional<int> parse_errno(std::string_view text);
// "EPERM" for EPERM; the number in decimal when it has no name.
std::string errno_name(int err);

// Parses "SIGINT", "INT" or a signal number; nullopt when it is none.
std::optional<int> parse_signal(std::string_view text);
// "SIGINT" for SIGINT, "SIGRTMIN+2" for real-time signals.
std::string signal_name(int sig);

}  // namespace cdbox::sim
