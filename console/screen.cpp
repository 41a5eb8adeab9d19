// SPDX-License-Identifier: MIT
#include "console/screen.h"

#include <cstdint>
#include <cstdio>

#include "console/texts.h"
#include "drawer/output.h"
#include "drawer/port.h"
#include "drawer/regmap.h"

namespace {

constexpr int CDBoxClearLines = 100;

const char* state_text(std::uint8_t status, std::uint8_t open_bit) {
  return (status & open_bit) != 0 ? CDBoxOpenText : CDBoxClosedText;
}

}  // namespace

void clrscr() {
  for (int line = 0; line < CDBoxClearLines; ++line) {
    std::putchar('\n');
  }
}

int show_menu_screen() {
  clrscr();
  std::fputs(APName, stdout);
  std::fputs(APHelp, stdout);
  std::printf("\nCash Drawer Control Register\t: I/O 0x%X", unsigned{CDBoxCtlIO});
  std::printf("\nCash Drawer Status Register\t: I/O 0x%X\n", unsigned{CDBoxStsIO});

  const std::uint8_t status = read_status();
  std::printf("original value of port 0x%.2x\n", unsigned{status});
  // The drawer states come from the status byte; the request only keeps
  // the port range open, and its result tells nothing about the drawers.
  (void)request_port_access();

  std::printf("\n\tCash Drawer 1 Status :%s", state_text(status, CDBoxDrawer1OpenBit));
  std::printf("\n\tCash Drawer 2 Status : %s", state_text(status, CDBoxDrawer2OpenBit));
  return flush_output();
}
