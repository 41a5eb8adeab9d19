// SPDX-License-Identifier: MIT
#include "drawer/port.h"

#include <sys/io.h>

#include "drawer/regmap.h"

int raise_io_privilege() {
  return iopl(CDBoxIOPL);
}

std::uint8_t read_status() {
  return inb(CDBoxStsIO);
}

int request_port_access() {
  return ioperm(CDBoxPortFirst, CDBoxPortCount, 1);
}

void write_control(std::uint8_t value) {
  outb(value, CDBoxCtlIO);
}
