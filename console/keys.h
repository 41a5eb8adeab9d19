// SPDX-License-Identifier: MIT
// The key table and the reading of one key.
#pragma once

#include "drawer/regmap.h"

// A key that pulses a drawer: its echo line and its command value.
struct CDBoxPulseKey {
  char key;
  const char* echo;
  int command;
};

constexpr CDBoxPulseKey CDBoxPulseKeys[] = {
    {'1', " Press '1' key for open Cash Drawer 1", CDBoxDrawer1CMD},
    {'2', " Press '2' key for open Cash Drawer 2", CDBoxDrawer2CMD},
    {'3', "Press '3' key for open both of Cash Drawer", CDBoxBothCMD},
};

// read_key's result when standard input cannot be read (errno says why).
constexpr int CDBoxKeyReadError = -2;

// The table entry of key; nullptr for '0' and every key that ends the tool.
const CDBoxPulseKey* find_pulse_key(int key);

// The next character of standard input that is not white space, as an
// unsigned char; EOF at the end of input; CDBoxKeyReadError on a read error.
int read_key();
