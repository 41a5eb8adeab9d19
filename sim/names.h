// SPDX-License-Identifier: MIT
// Symbolic names of errno values and signals, both ways.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cdbox::sim {

// Parses an errno value the kernel can return (1 to 4095) that has a name,
// given by its name ("EPERM") or its number; nullopt otherwise.
std::optional<int> parse_errno(std::string_view text);
// "EPERM" for EPERM; the number in decimal when it has no name.
std::string errno_name(int err);

// Parses "SIGINT", "INT", "SIGRTMIN+N", "SIGRTMAX-N" or a signal number;
// nullopt when it is none.
std::optional<int> parse_signal(std::string_view text);
// "SIGINT" for SIGINT, "SIGRTMIN+2" for real-time signals (counted from
// the C library's SIGRTMIN, as a program names them).
std::string signal_name(int sig);

}  // namespace cdbox::sim
