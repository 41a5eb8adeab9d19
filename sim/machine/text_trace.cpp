// SPDX-License-Identifier: MIT
#include "sim/machine/text_trace.h"

#include <cstdio>

#include "sim/names.h"

namespace cdbox::sim {
namespace {

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string result_text(long long result) {
  return result == 0 ? "0" : "-" + errno_name(static_cast<int>(-result));
}

std::string drawer_text(int drawer) {
  return "drawer " + std::to_string(drawer);
}

}  // namespace

std::optional<std::string> event_text(const EventBody& body) {
  using Text = std::optional<std::string>;
  return std::visit(
      Overloaded{
          [](const ev::Exec& e) -> Text { return "exec " + escape_field(e.path); },
          [](const ev::Iopl& e) -> Text {
            return "iopl " + std::to_string(e.level) + " = " + result_text(e.result);
          },
          [](const ev::Ioperm& e) -> Text {
            char text[64];
            std::snprintf(text, sizeof text,
                          "ioperm 0x%llx %llu %d = ", static_cast<unsigned long long>(e.from),
                          static_cast<unsigned long long>(e.count), e.on);
            return text + result_text(e.result);
          },
          [](const ev::DevPortOpen& e) -> Text {
            return "open /dev/port" + (e.result == 0 ? "" : " = " + result_text(e.result));
          },
          [](const ev::PortIn& e) -> Text {
            return "in " + format_port(e.port) + " = " + format_port_value(e.value, e.width);
          },
          [](const ev::PortOut& e) -> Text {
            return "out " + format_port(e.port) + " " + format_port_value(e.value, e.width);
          },
          [](const ev::Sleep& e) -> Text { return "sleep " + format_seconds(e.ns); },
          [](const ev::ControlRegister&) -> Text { return std::nullopt; },
          [](const ev::StatusRegister&) -> Text { return std::nullopt; },
          [](const ev::Solenoid&) -> Text { return std::nullopt; },
          [](const ev::Drawer& e) -> Text {
            return drawer_text(e.drawer) + (e.open ? " open" : " closed") +
                   (e.by_hand ? " by hand" : "");
          },
          [](const ev::Jammed& e) -> Text { return drawer_text(e.drawer) + " jammed"; },
          [](const ev::Signal& e) -> Text { return "signal " + signal_name(e.sig); },
          [](const ev::Violation& e) -> Text { return "violation " + e.text; },
          [](const ev::Warning& e) -> Text { return "warning " + e.text; },
          [](const ev::Ended& e) -> Text {
            return (e.killed ? "killed " + signal_name(e.code) : "exit " + std::to_string(e.code)) +
                   " syscw " + std::to_string(e.write_syscalls) + " vmhwm_kb " +
                   std::to_string(e.peak_rss_kb);
          },
      },
      body);
}

void TextTrace::on_event(const Event& event) {
  if (auto text = event_text(event.body)) {
    writer_->event(event.time_ns, event.pid, *text);
  }
}

}  // namespace cdbox::sim
