// SPDX-License-Identifier: MIT
// Where events go: one interface for every output of a run, and the fan-out
// that hands each event to all of them in order.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/machine/event.h"

namespace cdbox::sim {

class EventSink {
 public:
  EventSink() = default;
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;
  virtual ~EventSink() = default;

  // Takes one event; events come in time order.
  virtual void on_event(const Event& event) = 0;
  // The run is over at end_ns; nothing follows.
  virtual void finish(std::int64_t /*end_ns*/) {}
};

// Hands every event to each of its sinks, in the order they were added.
class EventStream final : public EventSink {
 public:
  // sink must outlive the stream.
  void add(EventSink& sink) { sinks_.push_back(&sink); }
  void on_event(const Event& event) override {
    for (EventSink* sink : sinks_) {
      sink->on_event(event);
    }
  }
  void finish(std::int64_t end_ns) override {
    for (EventSink* sink : sinks_) {
      sink->finish(end_ns);
    }
  }

 private:
  std::vector<EventSink*> sinks_;
};

// Keeps every event, for tests of the machine.
class RecordingSink final : public EventSink {
 public:
  void on_event(const Event& event) override { events_.push_back(event); }
  [[nodiscard]] const std::vector<Event>& events() const { return events_; }

 private:
  std::vector<Event> events_;
};

}  // namespace cdbox::sim
