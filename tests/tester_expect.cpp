// SPDX-License-Identifier: MIT
#include "tests/tester_expect.h"

#include <cstdio>

#include "drawer/regmap.h"

namespace cdbox::test {

std::string expected_screen(std::uint8_t status) {
  const std::string open = "1, Open or not exist ";
  const std::string closed = "0, Close             ";
  std::string screen(100, '\n');
  screen += "\t\tCash Drawer Testing Program\n\t" + std::string(43, '=') + "\n";
  screen +=
      "\n - Pass '1' key for open Cash Drawer 1\n"
      " - Pass '2' key for open Cash Drawer 2\n"
      " - Pass '3' key for open both of Cash Drawer 1 and Cash Drawer 2\n"
      " - Pass '0' key for Exit\n";
  screen += "\nCash Drawer Control Register\t: I/O 0x482";
  screen += "\nCash Drawer Status Register\t: I/O 0x482\n";
  screen += "original value of port " + hex_byte(status) + "\n";
  screen += "\n\tCash Drawer 1 Status :" + ((status & CDBoxDrawer1OpenBit) != 0 ? open : closed);
  screen += "\n\tCash Drawer 2 Status : " + ((status & CDBoxDrawer2OpenBit) != 0 ? open : closed);
  return screen;
}

std::string expected_pulse_log(unsigned value) {
  char lines[160];
  std::snprintf(lines, sizeof lines,
                "start open cash drawer now \n"
                "CDBoxCtlIO = 482 , CDBoxCMDValue = %x\n"
                "CDBoxCtlIO = 482, CDBoxCMDValue = %x\n",
                value, value);
  return lines;
}

std::string expected_pulse(char key) {
  const char* echo = key == '1'   ? " Press '1' key for open Cash Drawer 1\n"
                     : key == '2' ? " Press '2' key for open Cash Drawer 2\n"
                                  : "Press '3' key for open both of Cash Drawer\n";
  return echo + expected_pulse_log(command_of(key));
}

std::uint8_t command_of(char key) {
  return key == '1' ? CDBoxDrawer1CMD : key == '2' ? CDBoxDrawer2CMD : CDBoxBothCMD;
}

std::uint8_t sensor_bits_of(std::uint8_t cmd) {
  std::uint8_t bits = 0;
  if ((cmd & CDBoxDrawer1CMD) != 0) {
    bits |= CDBoxDrawer1OpenBit;
  }
  if ((cmd & CDBoxDrawer2CMD) != 0) {
    bits |= CDBoxDrawer2OpenBit;
  }
  return bits;
}

std::string expected_session(std::uint8_t base, const std::string& pulse_keys) {
  std::uint8_t status = base;
  std::string out = expected_screen(status);
  for (char key : pulse_keys) {
    out += expected_pulse(key);
    status |= sensor_bits_of(command_of(key));
    out += expected_screen(status);
  }
  return out + kExitText;
}

std::vector<std::string> expected_writes(const std::string& pulse_keys) {
  std::vector<std::string> writes;
  for (char key : pulse_keys) {
    writes.push_back(hex_byte(command_of(key)));
    writes.emplace_back("0x00");
  }
  return writes;
}

}  // namespace cdbox::test
