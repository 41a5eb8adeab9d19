// SPDX-License-Identifier: MIT
#include "drawer/pulse.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "drawer/output.h"
#include "drawer/port.h"
#include "drawer/regmap.h"

namespace {

// Keeps the first write error of a pulse, the one that tells why: a later
// flush of the same stream may fail otherwise, or find nothing to write.
void keep_first_error(int& first, int error) {
  if (first == 0) {
    first = error;
  }
}

}  // namespace

int CDBoxCMD(int CDBoxCMDValue) {
  const auto value = static_cast<unsigned>(CDBoxCMDValue);
  int write_error = 0;
  std::puts("start open cash drawer now ");
  keep_first_error(write_error, flush_output());

  // Ctrl-C, a closed output pipe or a stop request must neither leave the
  // solenoid energized nor shorten the hold: they take effect after the
  // release. SIGKILL and SIGSTOP cannot be held back. A write error is
  // only noted here, for the caller to report once the pulse is over.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);

  write_control(static_cast<std::uint8_t>(value & 0xffU));
  std::printf("CDBoxCtlIO = %x , CDBoxCMDValue = %x\n", unsigned{CDBoxCtlIO}, value);
  keep_first_error(write_error, flush_output());
  usleep(CDBoxHoldMicroseconds);
  write_control(CDBoxRestValue);
  std::printf("CDBoxCtlIO = %x, CDBoxCMDValue = %x\n", unsigned{CDBoxCtlIO}, value);
  keep_first_error(write_error, flush_output());

  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return write_error;
}
