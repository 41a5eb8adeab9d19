// SPDX-License-Identifier: MIT
#include "sim/devport/devport.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace cdbox::sim {
namespace {

constexpr char kDevPort[] = "/dev/port";

std::string link_target(const std::string& link) {
  std::vector<char> target(PATH_MAX);
  const ssize_t got = readlink(link.c_str(), target.data(), target.size());
  return got > 0 ? std::string(target.data(), static_cast<std::size_t>(got)) : std::string();
}

}  // namespace

std::string normal_path(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) {
      end = path.size();
    }
    const std::string part = path.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string normal;
  for (const std::string& part : parts) {
    normal += "/" + part;
  }
  return normal.empty() ? "/" : normal;
}

bool names_dev_port(pid_t tid, int dirfd, const std::string& path) {
  // Most opens end elsewhere: no /proc look-up for them.
  if (path.find("port") == std::string::npos) {
    return false;
  }
  // A trailing slash asks for a directory: the kernel's own answer stands.
  if (path.ends_with('/')) {
    return false;
  }
  if (path.starts_with('/')) {
    return normal_path(path) == kDevPort;
  }
  const std::string proc = "/proc/" + std::to_string(tid);
  const std::string base =
      link_target(dirfd == AT_FDCWD ? proc + "/cwd" : proc + "/fd/" + std::to_string(dirfd));
  return base.starts_with('/') && normal_path(base + "/" + path) == kDevPort;
}

bool DevPort::request_waiting() const {
  pollfd request{fd(), POLLIN, 0};
  return request.fd >= 0 && poll(&request, 1, 0) > 0;
}

const std::string* DevPort::file_path() {
  if (!file_ && !failed_) {
    std::string why;
    file_ = DevPortFile::mount(bus_, why);
    if (!file_) {
      failed_ = true;
      std::fprintf(stderr,
                   "cdbox-sim: /dev/port: %s; opens of /dev/port fail with ENODEV (install fuse3 "
                   "and make /dev/fuse usable, or use IN/OUT)\n",
                   why.c_str());
    }
  }
  return file_ ? &file_->path() : nullptr;
}

}  // namespace cdbox::sim
