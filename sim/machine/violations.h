// SPDX-License-Identifier: MIT
// The violations and warnings of a run, kept for the lines cdbox-sim writes
// at its end and for its exit status.
#pragma once

#include <string>
#include <vector>

#include "sim/machine/event_sink.h"

namespace cdbox::sim {

class ViolationList final : public EventSink {
 public:
  void on_event(const Event& event) override {
    if (const auto* violation = std::get_if<ev::Violation>(&event.body)) {
      violations_.push_back(violation->text);
    } else if (const auto* warning = std::get_if<ev::Warning>(&event.body)) {
      warnings_.push_back(warning->text);
    }
  }
  [[nodiscard]] const std::vector<std::string>& violations() const { return violations_; }
  [[nodiscard]] const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  std::vector<std::string> violations_;
  std::vector<std::string> warnings_;
};

}  // namespace cdbox::sim
