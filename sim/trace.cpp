// SPDX-License-Identifier: MIT
#include "sim/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
  if (!file_ || error_ != 0) {
    return;
  }
  if (std::fprintf(file_.get(), "%s %d %s\n", format_seconds(time_ns).c_str(),
                   static_cast<int>(pid), text.c_str()) < 0 ||
      std::fflush(file_.get()) != 0) {
    error_ = errno != 0 ? errno : EIO;
  }
}

std::string escape_field(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte <= 0x20 || byte >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
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
