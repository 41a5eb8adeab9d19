// SPDX-License-Identifier: MIT
#include "sim/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>

#include "sim/clock.h"

namespace cdbox::sim {

void TraceWriter::FileCloser::operator()(std::FILE* file) const {
  if (file != stderr) {
    std::fclose(file);
  }
}

std::unique_ptr<TraceWriter> TraceWriter::open(const std::string& path) {
  auto writer = std::make_unique<TraceWriter>();
  if (path == "-") {
    writer->file_.reset(stderr);
    return writer;
  }
  // Close-on-exec, so the traced program never inherits the trace.
  std::FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) {
    return nullptr;
  }
  writer->file_.reset(file);
  return writer;
}

void TraceWriter::event(std::int64_t time_ns, pid_t pid, const std::string& text) {
  if (!file_) {
    return;
  }
  std::fprintf(file_.get(), "%s %d %s\n", format_seconds(time_ns).c_str(), static_cast<int>(pid),
               text.c_str());
  std::fflush(file_.get());
}

std::string format_seconds(std::int64_t ns) {
  const std::int64_t us = (ns < 0 ? 0 : add_saturating(ns, 500)) / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, us / 1'000'000, us % 1'000'000);
  return text;
}

std::string format_port(unsigned port) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", port);
  return text;
}

std::string format_port_value(std::uint32_t value, unsigned width) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*" PRIx32, static_cast<int>(width * 2), value);
  return text;
}

}  // namespace cdbox::sim
