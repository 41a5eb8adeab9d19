// SPDX-License-Identifier: MIT
// The run as a waveform: an IEEE 1364 value change dump, timescale 1 us, on
// the simulator's clock. Every signal is a 1-bit wire (libsigrok reads no
// other kind): per drawer its solenoid and its open sensor, and each bit of
// the control and status registers.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "sim/machine/defaults.h"
#include "sim/machine/event_sink.h"

namespace cdbox::sim {

class VcdWriter final : public EventSink {
 public:
  // Opens path and writes the header; nullptr (errno set) when it cannot.
  static std::unique_ptr<VcdWriter> open(const std::string& path);

  void on_event(const Event& event) override;
  // Writes the last changes and the end time; the dump then covers the run.
  void finish(std::int64_t end_ns) override;
  // False once a write failed.
  [[nodiscard]] bool good() const;

  // The wires, in the order of the header.
  static constexpr std::size_t kWireCount = std::size_t{2} * kDrawerCount + 16;

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  explicit VcdWriter(std::FILE* file);
  void write_header();
  void set(std::size_t wire, bool value);
  void set_byte(std::size_t first_wire, std::uint8_t value);
  // Writes the changes made at time_us_, if any.
  void flush();

  std::unique_ptr<std::FILE, FileCloser> file_;
  std::int64_t time_us_ = 0;
  bool started_ = false;  // the values at time 0 are written
  std::array<bool, kWireCount> value_{};
  std::array<bool, kWireCount> written_{};
  bool dirty_ = true;
};

}  // namespace cdbox::sim
