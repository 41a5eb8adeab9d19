// SPDX-License-Identifier: MIT
#include "console/menu.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/hints.h"
#include "console/keys.h"
#include "console/screen.h"
#include "console/texts.h"
#include "drawer/output.h"
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

// A screen nobody can read must not be taken for a test that passed.
int report_write_error(int error) {
  std::fprintf(stderr, "cdbox-test: write error: %s\n", std::strerror(error));
  return CDBoxExitFailure;
}

}  // namespace

int run_drawer_test() {
  use_static_buffers();
  if (raise_io_privilege() < 0) {
    const int error = errno;
    std::perror("iopl set error\n");
    print_refusal_hint(error);
    return CDBoxExitFailure;
  }
  while (true) {
    if (const int error = show_menu_screen(); error != 0) {
      return report_write_error(error);
    }
    const int key = read_key();
    if (key == CDBoxKeyReadError) {
      std::perror("key read error");
      return CDBoxExitFailure;
    }
    const CDBoxPulseKey* entry = key == EOF ? nullptr : find_pulse_key(key);
    if (entry == nullptr) {
      std::puts(CDBoxExitText);
      const int error = flush_output();
      return error != 0 ? report_write_error(error) : CDBoxExitOk;
    }
    std::puts(entry->echo);
    if (const int error = CDBoxCMD(entry->command); error != 0) {
      return report_write_error(error);
    }
  }
}
