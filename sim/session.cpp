// SPDX-License-Identifier: MIT
#include "sim/session.h"

namespace cdbox::sim {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

ControllerConfig controller_config(const Options& options) {
  ControllerConfig config;
  config.status_base = options.status_base;
  config.open_after_ns = options.open_after_ms * kNsPerMs;
  if (options.close_after_ms) {
    config.close_after_ns = *options.close_after_ms * kNsPerMs;
  }
  config.max_hold_ns = options.max_hold_ms * kNsPerMs;
  return config;
}

}  // namespace

Session::Session(const Options& options, std::unique_ptr<TraceWriter> trace)
    : options_(options),
      clock_(options.virtual_time),
      controller_(controller_config(options)),
      trace_(std::move(trace)) {}

void Session::note(pid_t pid, const std::string& text) {
  catch_up();
  trace_->event(clock_.now_ns(), pid, text);
}

void Session::note_before_effects(pid_t pid, const std::string& text) {
  trace_->event(clock_.now_ns(), pid, text);
}

void Session::violation(pid_t pid, const std::string& text) {
  note(pid, "violation " + text);
  violations_.push_back(text);
}

void Session::catch_up() {
  for (const ControllerEvent& event : controller_.advance_to(clock_.now_ns())) {
    trace_controller_event(event);
  }
}

void Session::trace_controller_event(const ControllerEvent& event) {
  const std::string drawer = "drawer " + std::to_string(event.drawer);
  switch (event.kind) {
    case ControllerEvent::Kind::DrawerOpened:
      trace_->event(event.time_ns, event.actor, drawer + " open");
      break;
    case ControllerEvent::Kind::DrawerClosed:
      trace_->event(event.time_ns, event.actor, drawer + " closed");
      break;
    case ControllerEvent::Kind::HoldTooLong: {
      const std::string text = drawer + " solenoid energized longer than " +
                               std::to_string(options_.max_hold_ms) + " ms";
      trace_->event(event.time_ns, event.actor, "violation " + text);
      violations_.push_back(text);
      break;
    }
  }
}

}  // namespace cdbox::sim
