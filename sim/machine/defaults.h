// SPDX-License-Identifier: MIT
// The machine's defaults, in one place: the options, the help and the
// controller model all take them from here.
#pragma once

#include <cstdint>

namespace cdbox::sim {

// What a read of a port that nothing drives returns: the unused ports of
// the controller, every port of no device, and all of them when the
// controller is absent.
constexpr std::uint8_t kFloatingBus = 0xff;

constexpr std::uint8_t kDefaultStatusBase = 0x00;
constexpr std::int64_t kDefaultOpenAfterMs = 50;
constexpr std::int64_t kDefaultMaxHoldMs = 500;

constexpr std::int64_t kNsPerUs = 1'000;
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kUsPerSecond = 1'000'000;

// The drawers the controller models.
constexpr int kDrawerCount = 2;

}  // namespace cdbox::sim
