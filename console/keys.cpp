// SPDX-License-Identifier: MIT
#include "console/keys.h"

#include <cstdio>

namespace {

// White space as the C locale has it, whatever the environment's locale.
bool is_white_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

const CDBoxPulseKey* find_pulse_key(int key) {
  for (const CDBoxPulseKey& entry : CDBoxPulseKeys) {
    if (entry.key == key) {
      return &entry;
    }
  }
  return nullptr;
}

int read_key() {
  int c = 0;
  do {
    c = std::getchar();
  } while (is_white_space(c));
  if (c == EOF && std::ferror(stdin) != 0) {
    return CDBoxKeyReadError;
  }
  return c;
}
