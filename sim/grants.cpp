// SPDX-License-Identifier: MIT
#include "sim/grants.h"

#include <cerrno>

namespace cdbox::sim {

int PortGrants::set_privilege_level(std::uint64_t level) {
  if (level > 3) {
    return -EINVAL;
  }
  level_ = static_cast<unsigned>(level);
  return 0;
}

int PortGrants::set_permission(std::uint64_t from, std::uint64_t count, bool on) {
  if (from + count <= from || from + count > kPortCount) {
    return -EINVAL;
  }
  for (std::uint64_t port = from; port < from + count; ++port) {
    bitmap_[port] = on;
  }
  return 0;
}

bool PortGrants::allows(std::uint32_t port, unsigned width) const {
  if (level_ == 3) {
    return true;
  }
  for (std::uint32_t p = port; p < port + width; ++p) {
    if (p >= kPortCount || !bitmap_[p]) {
      return false;
    }
  }
  return true;
}

}  // namespace cdbox::sim
