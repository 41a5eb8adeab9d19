// SPDX-License-Identifier: MIT
// What cdbox-test must write, built from its texts as they stand, for the
// end-to-end tests to compare byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/harness/sim_run.h"

namespace cdbox::test {

// One whole menu screen for a status byte, as it stands while the tool
// waits for a key.
std::string expected_screen(std::uint8_t status);
// The echo line and the three pulse lines of a pulse key ('1', '2', '3').
std::string expected_pulse(char key);
// The pulse log lines of CDBoxCMD for any command value.
std::string expected_pulse_log(unsigned value);
// What ends every session but a refused start-up or a read error.
constexpr const char* kExitText = "\nExit now!!\n";

// The command byte a pulse key sends, from the build's register map.
std::uint8_t command_of(char key);
// The status bits the virtual controller shows once cmd's drawers opened.
std::uint8_t sensor_bits_of(std::uint8_t cmd);

// The whole standard output of a session that reads keys (only the pulse
// keys and one final key or end of input) from a controller whose status
// starts at base. Drawers stay open once opened.
std::string expected_session(std::uint8_t base, const std::string& pulse_keys);
// The port writes of those pulses: command, rest, command, rest...
std::vector<std::string> expected_writes(const std::string& pulse_keys);

}  // namespace cdbox::test
