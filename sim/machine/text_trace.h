// SPDX-License-Identifier: MIT
// The printer of the text trace: one line per event that the trace shows,
// "TIME PID EVENT FIELDS...", through a TraceWriter.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/machine/event_sink.h"
#include "sim/trace.h"

namespace cdbox::sim {

// The "EVENT FIELDS..." text of an event; nullopt for the events the text
// trace leaves to the waveform (register values, solenoid edges: the out
// lines show those).
std::optional<std::string> event_text(const EventBody& body);

class TextTrace final : public EventSink {
 public:
  explicit TextTrace(std::unique_ptr<TraceWriter> writer) : writer_(std::move(writer)) {}
  void on_event(const Event& event) override;
  // False when the trace goes nowhere: then it need not be a sink at all.
  [[nodiscard]] bool is_open() const { return writer_ && writer_->is_open(); }
  // The errno of the write that stopped the trace; 0 while it is whole.
  [[nodiscard]] int error() const { return writer_ ? writer_->error() : 0; }

 private:
  std::unique_ptr<TraceWriter> writer_;
};

}  // namespace cdbox::sim
