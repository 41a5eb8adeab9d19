// SPDX-License-Identifier: MIT
#include "console/menu.h"

#include <cstdio>

#include "console/keys.h"
#include "console/screen.h"
#include "console/texts.h"
#include "drawer/port.h"
#include "drawer/pulse.h"

namespace {

// Static stream buffers: stdio would take them from the heap otherwise.
// The output buffer holds a whole screen, which then goes out in one write.
char CDBoxOutputBuffer[4096];
char CDBoxInputBuffer[4096];

void use_static_buffers() {
  std::setvbuf(stdout, CDBoxOutputBuffer, _IOFBF, sizeof CDBoxOutputBuffer);
  std::setvbuf(stdin, CDBoxInputBuffer, _IOFBF, sizeof CDBoxInputBuffer);
}

}  // namespace

int run_drawer_test() {
  use_static_buffers();
  if (raise_io_privilege() < 0) {
    std::perror("iopl set error\n");
    return CDBoxExitFailure;
  }
  while (true) {
    show_menu_screen();
    const int key = read_key();
    if (key == CDBoxKeyReadError) {
      std::perror("key read error");
      return CDBoxExitFailure;
    }
    const CDBoxPulseKey* entry = key == EOF ? nullptr : find_pulse_key(key);
    if (entry == nullptr) {
      std::puts(CDBoxExitText);
      return CDBoxExitOk;
    }
    std::puts(entry->echo);
    CDBoxCMD(entry->command);
  }
}
