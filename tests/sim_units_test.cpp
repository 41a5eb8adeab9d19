// SPDX-License-Identifier: MIT
// The simulator's decoder and controller model, without a traced process.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "drawer/regmap.h"
#include "sim/decoder.h"
#include "sim/machine/controller.h"
#include "sim/names.h"
#include "sim/trace.h"

namespace cdbox::sim {
namespace {

struct DecodeCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  bool long_mode;
  DecodeStatus status;
  PortDirection direction;
  unsigned width;
  bool port_in_dx;
  std::uint8_t imm_port;
  std::size_t length;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, Decodes) {
  const DecodeCase& c = GetParam();
  const Decoded d = decode_port_instruction(c.bytes, c.long_mode);
  ASSERT_EQ(d.status, c.status);
  if (c.status == DecodeStatus::NotPort) {
    return;
  }
  EXPECT_EQ(d.insn.length, c.length);
  if (c.status == DecodeStatus::Port) {
    EXPECT_EQ(d.insn.direction, c.direction);
    EXPECT_EQ(d.insn.width, c.width);
    EXPECT_EQ(d.insn.port_in_dx, c.port_in_dx);
    EXPECT_EQ(d.insn.imm_port, c.imm_port);
  }
}

using enum DecodeStatus;
using enum PortDirection;

INSTANTIATE_TEST_SUITE_P(
    Forms, DecodeTest,
    ::testing::Values(
        DecodeCase{"InAlImm", {0xe4, 0x80}, true, Port, In, 1, false, 0x80, 2},
        DecodeCase{"InEaxImm", {0xe5, 0x61}, true, Port, In, 4, false, 0x61, 2},
        DecodeCase{"InAxImm", {0x66, 0xe5, 0x61}, true, Port, In, 2, false, 0x61, 3},
        DecodeCase{"OutImmAl", {0xe6, 0x70}, true, Port, Out, 1, false, 0x70, 2},
        DecodeCase{"OutImmEax", {0xe7, 0x70}, true, Port, Out, 4, false, 0x70, 2},
        DecodeCase{"InAlDx", {0xec}, true, Port, In, 1, true, 0, 1},
        DecodeCase{"InAxDx", {0x66, 0xed}, true, Port, In, 2, true, 0, 2},
        DecodeCase{"InEaxDx", {0xed}, true, Port, In, 4, true, 0, 1},
        DecodeCase{"OutDxAl", {0xee}, true, Port, Out, 1, true, 0, 1},
        DecodeCase{"OutDxAx", {0x66, 0xef}, true, Port, Out, 2, true, 0, 2},
        DecodeCase{"OutDxEax", {0xef}, true, Port, Out, 4, true, 0, 1},
        DecodeCase{"RexIgnoredForWidth", {0x48, 0xed}, true, Port, In, 4, true, 0, 2},
        // REX.W overrides 0x66: 32 bits.
        DecodeCase{"RexWOverridesOperandSize", {0x66, 0x48, 0xed}, true, Port, In, 4, true, 0, 3},
        DecodeCase{
            "RexWithoutWKeepsOperandSize", {0x66, 0x40, 0xed}, true, Port, In, 2, true, 0, 3},
        // A REX followed by another prefix is ignored, and so is its W.
        DecodeCase{
            "RexBeforeOperandSizeIgnored", {0x48, 0x66, 0xed}, true, Port, In, 2, true, 0, 3},
        DecodeCase{"TwoRexOnlyLastCounts", {0x40, 0x40, 0xec}, true, Port, In, 1, true, 0, 3},
        DecodeCase{"RexBeforeSegmentIgnored", {0x48, 0x2e, 0xef}, true, Port, Out, 4, true, 0, 3},
        DecodeCase{
            "LastRexWCounts", {0x48, 0x66, 0x48, 0xe5, 0x61}, true, Port, In, 4, false, 0x61, 5},
        DecodeCase{"RexBeforeString", {0x48, 0x6e}, true, StringPort, In, 0, false, 0, 2},
        DecodeCase{"RepeatedPrefixes", {0x66, 0x66, 0x2e, 0xee}, true, Port, Out, 1, true, 0, 4},
        DecodeCase{"Outsb", {0x6e}, true, StringPort, In, 0, false, 0, 1},
        DecodeCase{"RepOutsw", {0xf3, 0x66, 0x6f}, true, StringPort, In, 0, false, 0, 3},
        DecodeCase{"Insd", {0x6d}, true, StringPort, In, 0, false, 0, 1},
        // In 32-bit code 0x48 is dec eax, not a prefix.
        DecodeCase{"NoRexIn32BitCode", {0x48, 0xed}, false, NotPort, In, 0, false, 0, 0},
        DecodeCase{"ImmediateMissing", {0xe4}, true, NotPort, In, 0, false, 0, 0},
        DecodeCase{"OnlyPrefixes", {0x66, 0xf3}, true, NotPort, In, 0, false, 0, 0},
        DecodeCase{"Empty", {}, true, NotPort, In, 0, false, 0, 0},
        DecodeCase{"Hlt", {0xf4}, true, NotPort, In, 0, false, 0, 0},
        DecodeCase{"Cli", {0xfa}, true, NotPort, In, 0, false, 0, 0},
        // Past the architecture's 15-byte limit nothing decodes.
        DecodeCase{"TooLong",
                   {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                    0x66, 0x66, 0xec},
                   true,
                   NotPort,
                   In,
                   0,
                   false,
                   0,
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr std::int64_t kMs = 1'000'000;

// The controller's own changes, as the table rows name them.
enum class Kind { DrawerOpened, DrawerClosed, HoldTooLong };
using Seen = std::vector<std::tuple<std::int64_t, Kind, int>>;

Seen changes_of(const std::vector<Event>& events) {
  Seen seen;
  for (const Event& e : events) {
    if (const auto* drawer = std::get_if<ev::Drawer>(&e.body)) {
      seen.emplace_back(e.time_ns / kMs, drawer->open ? Kind::DrawerOpened : Kind::DrawerClosed,
                        drawer->drawer);
    } else if (const auto* violation = std::get_if<ev::Violation>(&e.body)) {
      seen.emplace_back(e.time_ns / kMs, Kind::HoldTooLong, violation->text.at(7) - '0');
    }
  }
  return seen;
}

struct Step {
  std::int64_t at_ms;
  int write;  // -1: only advance to at_ms
};

struct ControllerCase {
  const char* name;
  ControllerConfig config;
  std::vector<Step> steps;
  // Every event of the run, as (time in ms, kind, drawer).
  Seen events;
  std::uint8_t final_status;
};

void PrintTo(const ControllerCase& c, std::ostream* os) {
  *os << c.name;
}

class ControllerTest : public ::testing::TestWithParam<ControllerCase> {};

TEST_P(ControllerTest, Events) {
  const ControllerCase& c = GetParam();
  RecordingSink sink;
  DrawerController controller(c.config, sink);
  for (const Step& step : c.steps) {
    const std::int64_t now = step.at_ms * kMs;
    controller.advance_to(now);
    if (step.write >= 0) {
      controller.write(CDBoxCtlIO, static_cast<std::uint8_t>(step.write), now, 1);
      controller.advance_to(now);
    }
  }
  EXPECT_EQ(changes_of(sink.events()), c.events);
  EXPECT_EQ(controller.read(CDBoxStsIO), c.final_status);
}

using enum Kind;
const ControllerConfig kDefaults{};
const ControllerConfig kCloses{.close_after_ns = 100 * kMs};
const ControllerConfig kBase{.status_base = 0x41};
const ControllerConfig kInstant{.open_after_ns = 0};

INSTANTIATE_TEST_SUITE_P(
    Timing, ControllerTest,
    ::testing::Values(
        ControllerCase{
            "ShortPulseOpensNothing", kDefaults, {{0, 0x10}, {49, 0x00}, {1000, -1}}, {}, 0x00},
        ControllerCase{"OpensAtExactlyOpenAfter",
                       kDefaults,
                       {{0, 0x10}, {50, 0x00}},
                       {{50, DrawerOpened, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"OpenTimeIsWhenDueNotWhenSeen",
                       kDefaults,
                       {{10, 0x10}, {300, 0x00}},
                       {{60, DrawerOpened, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"InterruptedHoldsDoNotAddUp",
                       kDefaults,
                       {{0, 0x10}, {40, 0x00}, {41, 0x10}, {81, 0x00}},
                       {},
                       0x00},
        ControllerCase{"ClosesAfterOpening",
                       kCloses,
                       {{0, 0x10}, {300, 0x00}},
                       {{50, DrawerOpened, 1}, {150, DrawerClosed, 1}},
                       0x00},
        ControllerCase{"StaysShutWhileStillEnergized",
                       kCloses,
                       {{0, 0x10}, {400, -1}},
                       {{50, DrawerOpened, 1}, {150, DrawerClosed, 1}},
                       0x00},
        ControllerCase{"NewPulseReopens",
                       kCloses,
                       {{0, 0x10}, {300, 0x00}, {400, 0x10}, {500, 0x00}},
                       {{50, DrawerOpened, 1}, {150, DrawerClosed, 1}, {450, DrawerOpened, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"HoldTooLong",
                       kDefaults,
                       {{0, 0x10}, {600, 0x00}},
                       {{50, DrawerOpened, 1}, {500, HoldTooLong, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"HoldOfExactlyMaxHoldIsAllowed",
                       kDefaults,
                       {{0, 0x10}, {500, 0x00}, {2000, -1}},
                       {{50, DrawerOpened, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"BothDrawers",
                       kDefaults,
                       {{0, CDBoxDrawer1CMD | CDBoxDrawer2CMD}, {300, 0x00}},
                       {{50, DrawerOpened, 1}, {50, DrawerOpened, 2}},
                       CDBoxDrawer1OpenBit | CDBoxDrawer2OpenBit},
        ControllerCase{"BaseValueKeepsItsBits",
                       kBase,
                       {{0, 0x10}, {300, 0x00}},
                       {{50, DrawerOpened, 1}},
                       0x41 | CDBoxDrawer1OpenBit},
        ControllerCase{"OpenAfterZeroOpensAtOnce",
                       kInstant,
                       {{0, 0x10}, {0, 0x00}},
                       {{0, DrawerOpened, 1}},
                       CDBoxDrawer1OpenBit},
        ControllerCase{"OtherBitsEnergizeNothing", kDefaults, {{0, 0x01}, {300, 0x00}}, {}, 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ControllerPorts, UnusedPortsReadAllOnesAndIgnoreWrites) {
  RecordingSink sink;
  DrawerController controller(ControllerConfig{}, sink);
  for (std::uint16_t port : {std::uint16_t{0x483}, std::uint16_t{0x484}}) {
    controller.write(port, CDBoxDrawer1CMD, 0, 1);
    EXPECT_EQ(controller.read(port), 0xff);
  }
  EXPECT_FALSE(controller.solenoid_energized());
  EXPECT_FALSE(DrawerController::owns(0x481));
  EXPECT_FALSE(DrawerController::owns(0x485));
}

TEST(Names, ErrnoOnlyWhenTheKernelCouldReturnIt) {
  struct Row {
    const char* text;
    std::optional<int> err;
  };
  for (const Row& row :
       {Row{"EPERM", EPERM}, Row{"38", ENOSYS}, Row{"EHWPOISON", EHWPOISON}, Row{"0", std::nullopt},
        Row{"-1", std::nullopt}, Row{"4096", std::nullopt}, Row{"1000", std::nullopt},
        Row{"EWHAT", std::nullopt}, Row{"", std::nullopt}, Row{"1x", std::nullopt}}) {
    EXPECT_EQ(parse_errno(row.text), row.err) << row.text;
  }
}

TEST(Names, RealtimeSignalsBothWays) {
  struct Row {
    int sig;
    std::string name;
  };
  for (const Row& row : {Row{SIGRTMIN, "SIGRTMIN+0"}, Row{SIGRTMIN + 2, "SIGRTMIN+2"},
                         Row{SIGRTMAX, "SIGRTMIN+" + std::to_string(SIGRTMAX - SIGRTMIN)},
                         Row{SIGRTMIN - 1, "SIGRTMIN-1"}, Row{SIGUSR1, "SIGUSR1"}}) {
    EXPECT_EQ(signal_name(row.sig), row.name) << row.sig;
  }
  EXPECT_EQ(parse_signal("SIGRTMIN+2"), SIGRTMIN + 2);
  EXPECT_EQ(parse_signal("RTMIN"), SIGRTMIN);
  EXPECT_EQ(parse_signal("SIGRTMAX-1"), SIGRTMAX - 1);
  EXPECT_EQ(parse_signal("SIGRTMIN+99"), std::nullopt);
  EXPECT_EQ(parse_signal("SIGRTMIN-1"), std::nullopt);
  EXPECT_EQ(parse_signal("SIGRTMAX+1"), std::nullopt);
}

TEST(TraceField, EscapedToOneBlankFreeField) {
  struct Row {
    std::string raw;
    std::string escaped;
  };
  for (const Row& row :
       {Row{"/bin/true", "/bin/true"}, Row{"a\nb", "a\\nb"},
        Row{"x\n0.000000 1 exit 0", "x\\n0.000000\\x201\\x20exit\\x200"},
        Row{"tab\there", "tab\\there"}, Row{std::string("nul\0cr\r", 7), "nul\\x00cr\\x0d"},
        Row{"del\x7f\xc3\xa9", "del\\x7f\\xc3\\xa9"}}) {
    EXPECT_EQ(escape_field(row.raw), row.escaped) << row.raw;
  }
}

}  // namespace
}  // namespace cdbox::sim
