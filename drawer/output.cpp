// SPDX-License-Identifier: MIT
#include "drawer/output.h"

#include <cerrno>
#include <cstdio>

int flush_output() {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return 0;
  }
  // A failure without an errno still fails: call it an I/O error.
  return errno != 0 ? errno : EIO;
}
