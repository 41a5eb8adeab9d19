// SPDX-License-Identifier: MIT
// The machine and its devices without a traced process: each row drives a
// machine on a virtual clock and checks every event it sent, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/machine/event_sink.h"
#include "sim/machine/machine.h"
#include "sim/machine/text_trace.h"
#include "sim/real_time_net.h"
#include "sim/trace.h"

namespace cdbox::sim {
namespace {

using Strings = std::vector<std::string>;

std::string hex(unsigned value) {
  return format_port_value(value, 1);
}

// "MS PID TEXT", with a text for the events the text trace leaves out.
std::string describe(const Event& e) {
  std::string text;
  if (auto printed = event_text(e.body)) {
    text = *printed;
  } else if (const auto* control = std::get_if<ev::ControlRegister>(&e.body)) {
    text = "control " + hex(control->value);
  } else if (const auto* status = std::get_if<ev::StatusRegister>(&e.body)) {
    text = "status " + hex(status->value);
  } else if (const auto* solenoid = std::get_if<ev::Solenoid>(&e.body)) {
    text = "solenoid " + std::to_string(solenoid->drawer) + (solenoid->on ? " on" : " off");
  }
  return std::to_string(e.time_ns / kNsPerMs) + " " + std::to_string(e.pid) + " " + text;
}

// One step of a row: at MS, an IN of port or an OUT of value to it; or,
// with neither, only the clock moving on.
struct Step {
  std::int64_t at_ms;
  enum { Advance, In, Out } kind = Advance;
  std::uint16_t port = 0x482;
  std::uint32_t value = 0;
  unsigned width = 1;
};

Step out(std::int64_t at_ms, std::uint32_t value) {
  return {at_ms, Step::Out, 0x482, value};
}
Step in(std::int64_t at_ms, std::uint16_t port = 0x482) {
  return {at_ms, Step::In, port};
}
Step advance(std::int64_t at_ms) {
  return {at_ms};
}

// A map of its own, so the rows hold whatever map the build has.
ControllerConfig base_config() {
  ControllerConfig config;
  config.map = {DrawerMap{0x10, 0x08}, DrawerMap{0x20, 0x04}};
  return config;
}

struct MachineCase {
  const char* name;
  ControllerConfig config;
  std::vector<Step> steps;
  Strings events;  // all of them, by describe()
};

void PrintTo(const MachineCase& c, std::ostream* os) {
  *os << c.name;
}

class MachineTest : public ::testing::TestWithParam<MachineCase> {};

constexpr pid_t kPid = 7;

TEST_P(MachineTest, SendsEveryEvent) {
  const MachineCase& c = GetParam();
  SimClock clock(true);
  RecordingSink sink;
  Machine machine(c.config, clock, sink);
  machine.start();
  for (const Step& step : c.steps) {
    clock.advance_to(step.at_ms * kNsPerMs);
    if (step.kind == Step::In) {
      machine.port_in(kPid, step.port, step.width);
    } else if (step.kind == Step::Out) {
      machine.port_out(kPid, step.port, step.width, step.value);
    } else {
      machine.catch_up();
    }
  }
  Strings seen;
  for (const Event& e : sink.events()) {
    seen.push_back(describe(e));
  }
  EXPECT_EQ(seen, c.events);
}

// The end of a warning under drawer 2 at 0x40.
const std::string kOtherMap =
    " (drawer 1: 0x10, drawer 2: 0x40); --drawer N:SOLENOID:SENSOR maps a drawer";

ControllerConfig with(void (*change)(ControllerConfig&)) {
  ControllerConfig config = base_config();
  change(config);
  return config;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, MachineTest,
    ::testing::Values(
        MachineCase{
            "PulseOpensDrawerOne",
            base_config(),
            {out(0, 0x10), out(300, 0x00), in(300)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x10", "0 7 control 0x10",
             "0 7 solenoid 1 on", "50 7 drawer 1 open", "50 7 status 0x08", "300 7 out 0x482 0x00",
             "300 7 control 0x00", "300 7 solenoid 1 off", "300 7 in 0x482 = 0x08"}},
        // A change a write makes due at once is sent after the write.
        MachineCase{
            "ImmediateOpenFollowsTheWrite",
            with([](ControllerConfig& c) { c.open_after_ns = 0; }),
            {out(0, 0x20), out(0, 0x00)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x20", "0 7 control 0x20",
             "0 7 solenoid 2 on", "0 7 drawer 2 open", "0 7 status 0x04", "0 7 out 0x482 0x00",
             "0 7 control 0x00", "0 7 solenoid 2 off"}},
        MachineCase{
            "AbsentReadsFloatAndLosesWrites",
            with([](ControllerConfig& c) { c.absent = true; }),
            {in(0), out(0, 0x10), in(0, 0x483), out(300, 0x00), in(300)},
            {"0 0 control 0x00", "0 0 status 0xff", "0 7 in 0x482 = 0xff", "0 7 out 0x482 0x10",
             "0 7 in 0x483 = 0xff", "300 7 out 0x482 0x00", "300 7 in 0x482 = 0xff"}},
        MachineCase{
            "JammedDrawerStaysShut",
            with([](ControllerConfig& c) { c.jammed[0] = true; }),
            {out(0, 0x30), out(300, 0x00), in(300)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x30", "0 7 control 0x30",
             "0 7 solenoid 1 on", "0 7 solenoid 2 on", "50 7 drawer 1 jammed", "50 7 drawer 2 open",
             "50 7 status 0x04", "300 7 out 0x482 0x00", "300 7 control 0x00",
             "300 7 solenoid 1 off", "300 7 solenoid 2 off", "300 7 in 0x482 = 0x04"}},
        MachineCase{"ActiveLowSensorClearsWhileOpen",
                    with([](ControllerConfig& c) {
                      c.sensor_active_low = true;
                      c.status_base = 0x41;
                    }),
                    {in(0), out(0, 0x10), out(300, 0x00), in(300)},
                    {"0 0 control 0x00", "0 0 status 0x4d", "0 7 in 0x482 = 0x4d",
                     "0 7 out 0x482 0x10", "0 7 control 0x10", "0 7 solenoid 1 on",
                     "50 7 drawer 1 open", "50 7 status 0x45", "300 7 out 0x482 0x00",
                     "300 7 control 0x00", "300 7 solenoid 1 off", "300 7 in 0x482 = 0x45"}},
        // The operator is pid 0; opening an open drawer and shutting a shut
        // one change nothing.
        MachineCase{"OperatorOpensAndShutsByHand",
                    with([](ControllerConfig& c) {
                      c.hand = {{200 * kNsPerMs, 2, false},
                                {100 * kNsPerMs, 2, true},
                                {150 * kNsPerMs, 2, true},
                                {10 * kNsPerMs, 1, false}};
                    }),
                    {advance(120), in(120), advance(1000)},
                    {"0 0 control 0x00", "0 0 status 0x00", "100 0 drawer 2 open by hand",
                     "100 0 status 0x04", "120 7 in 0x482 = 0x04", "200 0 drawer 2 closed by hand",
                     "200 0 status 0x00"}},
        MachineCase{
            "RunTimeMapMovesDrawerTwo",
            with([](ControllerConfig& c) {
              c.map[1] = {0x40, 0x01};
            }),
            {out(0, 0x40), out(300, 0x00), in(300)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x40", "0 7 control 0x40",
             "0 7 solenoid 2 on", "50 7 drawer 2 open", "50 7 status 0x01", "300 7 out 0x482 0x00",
             "300 7 control 0x00", "300 7 solenoid 2 off", "300 7 in 0x482 = 0x01"}},
        // Each unused bit is told once, however often it is written.
        MachineCase{
            "UnmappedBitsWarnOnce",
            with([](ControllerConfig& c) {
              c.map[1] = {0x40, 0x01};
            }),
            {out(0, 0x21), out(1, 0x00), out(2, 0x21), out(3, 0xa0), out(4, 0x00)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x21",
             "0 7 warning control bits 0x21 energize no drawer" + kOtherMap, "0 7 control 0x21",
             "1 7 out 0x482 0x00", "1 7 control 0x00", "2 7 out 0x482 0x21", "2 7 control 0x21",
             "3 7 out 0x482 0xa0", "3 7 warning control bit 0x80 energizes no drawer" + kOtherMap,
             "3 7 control 0xa0", "4 7 out 0x482 0x00", "4 7 control 0x00"}},
        MachineCase{"ForeignPortFloatsAndIsAViolation",
                    base_config(),
                    {in(0, 0x378), Step{1, Step::Out, 0x484, 0x1010, 2}},
                    {"0 0 control 0x00", "0 0 status 0x00", "0 7 in 0x378 = 0xff",
                     "0 7 violation port 0x378 is not the drawer controller's (0x482-0x484)",
                     "1 7 out 0x484 0x1010",
                     "1 7 violation port 0x485 is not the drawer controller's (0x482-0x484)"}},
        MachineCase{
            "HoldTooLongIsAViolation",
            with([](ControllerConfig& c) { c.max_hold_ns = 200 * kNsPerMs; }),
            {out(0, 0x10), out(300, 0x00)},
            {"0 0 control 0x00", "0 0 status 0x00", "0 7 out 0x482 0x10", "0 7 control 0x10",
             "0 7 solenoid 1 on", "50 7 drawer 1 open", "50 7 status 0x08",
             "200 7 violation drawer 1 solenoid energized longer than 200 ms",
             "300 7 out 0x482 0x00", "300 7 control 0x00", "300 7 solenoid 1 off"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cdbox::sim

namespace cdbox::sim {
namespace {

// The real-time net watches the drawers as the run maps them, not as the
// build did.
TEST(RealTimeNetMap, FollowsTheRunTimeMap) {
  RealTimeNet net(500, {0x10, 0x40});
  net.after_write(0x20, 9, 0);
  EXPECT_TRUE(net.breaches(1000).empty());
  net.after_write(0x40, 9, 1000);
  const auto breaches = net.breaches(1501);
  ASSERT_EQ(breaches.size(), 1U);
  EXPECT_EQ(breaches[0].drawer, 2);
  EXPECT_EQ(breaches[0].actor, 9);
}

}  // namespace
}  // namespace cdbox::sim
