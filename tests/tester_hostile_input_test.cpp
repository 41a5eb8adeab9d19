// SPDX-License-Identifier: MIT
// Hostile standard input for cdbox-test: hundreds of generated inputs, each
// run under the simulator in virtual time. Seeded: set CDBOX_INPUT_SEED to
// replay a run or to explore others; a failure prints the seed and input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tests/harness/sim_run.h"
#include "tests/tester_expect.h"

namespace cdbox::test {
namespace {

using Strings = std::vector<std::string>;

constexpr int kInputs = 320;
constexpr std::uint32_t kDefaultSeed = 20261208;

const std::string kWhiteSpace = " \t\n\v\f\r";

bool is_white_space(char c) {
  return kWhiteSpace.find(c) != std::string::npos;
}

// The pulse keys the tool must act on: every '1', '2' or '3' before the
// first other character that is not white space.
std::string pulse_keys_of(const std::string& input) {
  std::string keys;
  for (char c : input) {
    if (is_white_space(c)) {
      continue;
    }
    if (c != '1' && c != '2' && c != '3') {
      break;
    }
    keys += c;
  }
  return keys;
}

class InputGenerator {
 public:
  explicit InputGenerator(std::uint32_t seed) : random_(seed) {}

  std::string next(int index) {
    switch (index % 6) {
      case 0:
        return random_bytes(pick(0, 64));
      case 1:
        return key_mix(pick(0, 40), "123");
      case 2:
        return key_mix(pick(1, 30), "123") + other_key() + key_mix(pick(0, 10), "123");
      case 3:
        return long_line();
      case 4:
        return white_space(pick(0, 200)) + (pick(0, 1) != 0 ? std::string(1, other_key()) : "");
      default:
        return index % 60 == 5 ? std::string() : random_bytes(pick(1, 4096));
    }
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::string random_bytes(int length) {
    std::string bytes;
    for (int i = 0; i < length; ++i) {
      bytes += static_cast<char>(pick(0, 255));
    }
    return bytes;
  }

  std::string white_space(int length) {
    std::string text;
    for (int i = 0; i < length; ++i) {
      text += kWhiteSpace[static_cast<std::size_t>(pick(0, 5))];
    }
    return text;
  }

  // Keys from keys, separated by runs of white space or none; the final
  // newline is there only sometimes.
  std::string key_mix(int count, const std::string& keys) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += white_space(pick(0, 1) != 0 ? pick(0, 4) : 0);
      text += keys[static_cast<std::size_t>(pick(0, static_cast<int>(keys.size()) - 1))];
    }
    return text + (pick(0, 1) != 0 ? "\n" : "");
  }

  // A byte that ends the tool: '0', a letter, NUL, or one above 0x7f.
  char other_key() {
    const std::string others = std::string("0xaq\x7f\x80\xff", 7) + '\0';
    return others[static_cast<std::size_t>(pick(0, static_cast<int>(others.size()) - 1))];
  }

  // A very long line of white space with a few keys in it, and no final
  // newline.
  std::string long_line() {
    std::string line(static_cast<std::size_t>(pick(5000, 70000)), ' ');
    for (int i = pick(0, 3); i > 0; --i) {
      line[static_cast<std::size_t>(pick(0, static_cast<int>(line.size()) - 1))] =
          "123\t"[pick(0, 3)];
    }
    return line;
  }

  std::mt19937 random_;
};

std::string printable(const std::string& input) {
  std::string text;
  for (unsigned char c : input.substr(0, 400)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x",
                  c);
    text += escaped;
  }
  return input.size() > 400 ? text + "... (" + std::to_string(input.size()) + " bytes)" : text;
}

TEST(HostileInput, EveryInputPulsesOnlyItsKeysAndExits) {
  const char* env = std::getenv("CDBOX_INPUT_SEED");
  const std::uint32_t seed =
      env != nullptr ? static_cast<std::uint32_t>(std::strtoul(env, nullptr, 0)) : kDefaultSeed;
  std::cout << "input seed " << seed << " (CDBOX_INPUT_SEED replays it)\n";
  InputGenerator generator(seed);
  int failures = 0;
  for (int i = 0; i < kInputs && failures < 5; ++i) {
    const std::string input = generator.next(i);
    const std::string keys = pulse_keys_of(input);
    const SimRun run = run_sim({{"--virtual-time"}, {tester_path()}, input});
    const std::string context = "seed " + std::to_string(seed) + ", input " + std::to_string(i) +
                                ": \"" + printable(input) + "\"";
    bool ok = run.status == 0 && run.err.empty();
    for (const TraceLine& line : run.trace) {
      ok = ok && !line.text.starts_with("violation") && !line.text.starts_with("killed");
    }
    // Exactly one pulse per key, in order: command, a full hold, rest;
    // nothing written once the ending key has been read.
    Strings events;
    for (const TraceLine& line : run.trace) {
      if (line.text.starts_with("out ") || line.text.starts_with("sleep ")) {
        events.push_back(line.text);
      }
    }
    Strings expected;
    for (char key : keys) {
      expected.insert(expected.end(), {"out 0x482 " + hex_byte(command_of(key)), "sleep 0.300000",
                                       "out 0x482 0x00"});
    }
    ok = ok && events == expected;
    ok = ok && run.out.ends_with("\nExit now!!\n") && run.out == expected_session(0, keys);
    if (!ok) {
      ++failures;
      ADD_FAILURE() << context << "\nstatus "
                    << (run.status ? std::to_string(*run.status) : "timed out")
                    << "\nstderr: " << run.err
                    << "\nport events: " << ::testing::PrintToString(events)
                    << "\nexpected:    " << ::testing::PrintToString(expected);
    }
  }
}

}  // namespace
}  // namespace cdbox::test
