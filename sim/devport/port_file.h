// SPDX-License-Identifier: MIT
// The file that stands in for /dev/port: one regular file on a FUSE mount
// of the simulator's own, served from the ptrace loop. Its offset is the
// port number; a program's reads, writes, seeks, dups and forks of it run
// in the kernel, and only its reads and writes come here.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "sim/devport/port_bus.h"

struct fuse_session;

namespace cdbox::sim {

class DevPortFile {
 public:
  // Mounts a new file served through bus; nullptr and why when FUSE
  // cannot be used.
  static std::unique_ptr<DevPortFile> mount(DevPortBus& bus, std::string& why);
  DevPortFile(const DevPortFile&) = delete;
  DevPortFile& operator=(const DevPortFile&) = delete;
  ~DevPortFile();

  // The descriptor to poll: readable when a request waits; -1 once the
  // mount has gone.
  [[nodiscard]] int fd() const;
  // The file's path, for the program's open.
  [[nodiscard]] const std::string& path() const { return path_; }
  // Answers the request that waits, if any.
  void serve();

  DevPortBus& bus() { return bus_; }

 private:
  DevPortFile(DevPortBus& bus, std::string dir) : bus_(bus), dir_(std::move(dir)) {}

  DevPortBus& bus_;
  std::string dir_;
  std::string path_;
  fuse_session* session_ = nullptr;
  bool mounted_ = false;
  bool gone_ = false;
  void* buffer_ = nullptr;  // libfuse's receive buffer, kept across requests
};

}  // namespace cdbox::sim
