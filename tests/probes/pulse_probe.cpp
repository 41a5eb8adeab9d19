// SPDX-License-Identifier: MIT
// Sends one pulse with the command value given in argv[1] (strtol, base 0),
// so tests can pass values no key sends.
#include <cstdio>
#include <cstdlib>

#include "drawer/port.h"
#include "drawer/pulse.h"

int main(int argc, char** argv) {
  if (argc != 2 || raise_io_privilege() < 0) {
    std::fprintf(stderr, "usage: cdbox-pulse-probe VALUE (under cdbox-sim)\n");
    return 2;
  }
  // A log line that could not be written fails the probe too.
  return CDBoxCMD(static_cast<int>(std::strtoll(argv[1], nullptr, 0))) == 0 ? 0 : 1;
}
