// SPDX-License-Identifier: MIT
#include "sim/session.h"

namespace cdbox::sim {

ControllerConfig controller_config(const Options& options) {
  ControllerConfig config = options.controller;
  config.status_base = options.status_base;
  config.open_after_ns = options.open_after_ms * kNsPerMs;
  if (options.close_after_ms) {
    config.close_after_ns = *options.close_after_ms * kNsPerMs;
  }
  config.max_hold_ns = options.max_hold_ms * kNsPerMs;
  return config;
}

std::array<std::uint8_t, kDrawerCount> Session::solenoid_bits() const {
  const ControllerConfig config = controller_config(options_);
  return {config.map[0].solenoid_bit, config.map[1].solenoid_bit};
}

Session::Session(const Options& options, std::unique_ptr<TraceWriter> trace,
                 std::unique_ptr<VcdWriter> vcd)
    : options_(options),
      clock_(options.virtual_time),
      text_(std::move(trace)),
      vcd_(std::move(vcd)),
      machine_(controller_config(options), clock_, stream_) {
  if (text_.is_open()) {
    stream_.add(text_);
  }
  if (vcd_) {
    stream_.add(*vcd_);
  }
  stream_.add(violations_);
  machine_.start();
}

}  // namespace cdbox::sim
