// SPDX-License-Identifier: MIT
// cdbox-test: tests the cash drawer controller at I/O port 0x482.
// It takes no arguments; see cdbox-test(8).
#include "console/menu.h"

int main() {
  return run_drawer_test();
}
