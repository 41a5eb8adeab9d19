// SPDX-License-Identifier: MIT
// Port permissions granted virtually to one traced task, as the kernel would
// keep them: the I/O privilege level and the ioperm bitmap.
#pragma once

#include <bitset>
#include <cstdint>

namespace cdbox::sim {

class PortGrants {
 public:
  static constexpr unsigned kPortCount = 65536;

  // Returns 0 or a negative errno, as iopl(2) does.
  int set_privilege_level(std::uint64_t level);
  // Returns 0 or a negative errno, as ioperm(2) does.
  int set_permission(std::uint64_t from, std::uint64_t count, bool on);
  // True when every port of [port, port + width) may be accessed.
  [[nodiscard]] bool allows(std::uint32_t port, unsigned width) const;

 private:
  unsigned level_ = 0;
  std::bitset<kPortCount> bitmap_;
};

}  // namespace cdbox::sim
