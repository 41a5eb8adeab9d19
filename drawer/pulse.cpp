// SPDX-License-Identifier: MIT
#include "drawer/pulse.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "drawer/port.h"
#include "drawer/regmap.h"

void CDBoxCMD(int CDBoxCMDValue) {
  const auto value = static_cast<unsigned>(CDBoxCMDValue);
  std::puts("start open cash drawer now ");
  std::fflush(stdout);

  // Ctrl-C, a closed output pipe or a stop request must neither leave the
  // solenoid energized nor shorten the hold: they take effect after the
  // release. SIGKILL and SIGSTOP cannot be held back.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);

  write_control(static_cast<std::uint8_t>(value & 0xffU));
  std::printf("CDBoxCtlIO = %x , CDBoxCMDValue = %x\n", unsigned{CDBoxCtlIO}, value);
  std::fflush(stdout);
  usleep(CDBoxHoldMicroseconds);
  write_control(CDBoxRestValue);
  std::printf("CDBoxCtlIO = %x, CDBoxCMDValue = %x\n", unsigned{CDBoxCtlIO}, value);
  std::fflush(stdout);

  sigprocmask(SIG_SETMASK, &previous, nullptr);
}
