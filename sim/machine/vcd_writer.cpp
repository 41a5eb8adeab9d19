// SPDX-License-Identifier: MIT
#include "sim/machine/vcd_writer.h"

#include <cinttypes>

#include "sim/clock.h"

namespace cdbox::sim {
namespace {

// Wires: solenoid and sensor of each drawer, then control bits 0-7, then
// status bits 0-7.
constexpr std::size_t kControlWire = std::size_t{2} * kDrawerCount;
constexpr std::size_t kStatusWire = kControlWire + 8;

std::size_t solenoid_wire(int drawer) {
  return 2 * static_cast<std::size_t>(drawer - 1);
}
std::size_t sensor_wire(int drawer) {
  return solenoid_wire(drawer) + 1;
}

// The identifier code of a wire: one printable character.
char code_of(std::size_t wire) {
  return static_cast<char>('!' + wire);
}

std::string wire_name(std::size_t wire) {
  if (wire < kControlWire) {
    const std::string drawer = std::to_string(wire / 2 + 1);
    return wire % 2 == 0 ? "solenoid" + drawer : "sensor" + drawer;
  }
  if (wire < kStatusWire) {
    return "ctl" + std::to_string(wire - kControlWire);
  }
  return "sts" + std::to_string(wire - kStatusWire);
}

std::int64_t to_us(std::int64_t ns) {
  return (ns < 0 ? 0 : add_saturating(ns, kNsPerUs / 2)) / kNsPerUs;
}

}  // namespace

std::unique_ptr<VcdWriter> VcdWriter::open(const std::string& path) {
  // Close-on-exec, so the traced program never inherits the dump.
  std::FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) {
    return nullptr;
  }
  std::unique_ptr<VcdWriter> writer(new VcdWriter(file));
  writer->write_header();
  return writer;
}

VcdWriter::VcdWriter(std::FILE* file) : file_(file) {}

void VcdWriter::write_header() {
  std::FILE* f = file_.get();
  std::fputs("$version cdbox-sim $end\n$timescale 1 us $end\n$scope module cdbox $end\n", f);
  for (std::size_t wire = 0; wire < kWireCount; ++wire) {
    std::fprintf(f, "$var wire 1 %c %s $end\n", code_of(wire), wire_name(wire).c_str());
  }
  std::fputs("$upscope $end\n$enddefinitions $end\n", f);
}

void VcdWriter::set(std::size_t wire, bool value) {
  if (value_[wire] != value) {
    value_[wire] = value;
    dirty_ = true;
  }
}

void VcdWriter::set_byte(std::size_t first_wire, std::uint8_t value) {
  for (std::size_t bit = 0; bit < 8; ++bit) {
    set(first_wire + bit, ((value >> bit) & 1U) != 0);
  }
}

void VcdWriter::flush() {
  if (!dirty_) {
    return;
  }
  std::FILE* f = file_.get();
  std::fprintf(f, "#%" PRId64 "\n", time_us_);
  if (!started_) {
    std::fputs("$dumpvars\n", f);
  }
  for (std::size_t wire = 0; wire < kWireCount; ++wire) {
    if (!started_ || value_[wire] != written_[wire]) {
      std::fprintf(f, "%d%c\n", value_[wire] ? 1 : 0, code_of(wire));
      written_[wire] = value_[wire];
    }
  }
  if (!started_) {
    std::fputs("$end\n", f);
    started_ = true;
  }
  dirty_ = false;
}

void VcdWriter::on_event(const Event& event) {
  const std::int64_t us = to_us(event.time_ns);
  if (us > time_us_) {
    flush();
    time_us_ = us;
  }
  if (const auto* control = std::get_if<ev::ControlRegister>(&event.body)) {
    set_byte(kControlWire, control->value);
  } else if (const auto* status = std::get_if<ev::StatusRegister>(&event.body)) {
    set_byte(kStatusWire, status->value);
  } else if (const auto* solenoid = std::get_if<ev::Solenoid>(&event.body)) {
    set(solenoid_wire(solenoid->drawer), solenoid->on);
  } else if (const auto* drawer = std::get_if<ev::Drawer>(&event.body)) {
    set(sensor_wire(drawer->drawer), drawer->open);
  }
}

void VcdWriter::finish(std::int64_t end_ns) {
  if (to_us(end_ns) > time_us_) {
    flush();
    time_us_ = to_us(end_ns);
  }
  flush();
  // One microsecond past the end, so a reader shows the final values for
  // a sample rather than not at all.
  std::fprintf(file_.get(), "#%" PRId64 "\n", time_us_ + 1);
  std::fflush(file_.get());
}

bool VcdWriter::good() const {
  return std::ferror(file_.get()) == 0;
}

}  // namespace cdbox::sim
