// SPDX-License-Identifier: MIT
// /dev/port under the simulator: which opens name it, and the file that is
// opened in its place, mounted at the first such open.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "sim/devport/port_bus.h"
#include "sim/devport/port_file.h"
#include "sim/session.h"

namespace cdbox::sim {

// Whether path, opened by tid relative to dirfd (AT_FDCWD: its working
// directory), names /dev/port. Goes by the name, not the node: the node
// need not exist here.
bool names_dev_port(pid_t tid, int dirfd, const std::string& path);

// The path with "." and ".." and repeated slashes taken out; path is
// absolute.
std::string normal_path(const std::string& path);

class DevPort {
 public:
  DevPort(Session& session, std::function<void(pid_t)> after_write)
      : bus_(session, std::move(after_write)) {}

  // The file to open in place of /dev/port; nullptr, reported once on
  // standard error, when FUSE cannot serve it.
  const std::string* file_path();
  // The descriptor of its requests, -1 while none can come.
  [[nodiscard]] int fd() const { return file_ ? file_->fd() : -1; }
  // Whether a request of the port file waits for its answer.
  [[nodiscard]] bool request_waiting() const;
  void serve() {
    if (file_) {
      file_->serve();
    }
  }

 private:
  DevPortBus bus_;
  std::unique_ptr<DevPortFile> file_;
  bool failed_ = false;
};

}  // namespace cdbox::sim
