// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 34
#include "sim/devport/port_file.h"

#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace cdbox::sim {
namespace {

constexpr fuse_ino_t kPortIno = 2;
constexpr char kPortName[] = "port";
// The kernel's /dev/port ends here: reads and writes stop at this offset.
constexpr off_t kPortSpace = 0x10000;
constexpr double kForever = 1e9;  // attributes never change

DevPortFile& file_of(fuse_req_t req) {
  return *static_cast<DevPortFile*>(fuse_req_userdata(req));
}

struct stat attributes_of(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_uid = getuid();
  st.st_gid = getgid();
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | 0700;
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | 0600;
    st.st_nlink = 1;
    st.st_size = kPortSpace;
  }
  return st;
}

void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, kPortName) != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = kPortIno;
  entry.attr = attributes_of(kPortIno);
  entry.attr_timeout = kForever;
  entry.entry_timeout = kForever;
  fuse_reply_entry(req, &entry);
}

void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* /*fi*/) {
  const struct stat st = attributes_of(ino);
  fuse_reply_attr(req, &st, kForever);
}

// O_TRUNC of a shell's `> /dev/port` comes as a size change: the port
// space keeps its size, as the kernel's file ignores it.
void on_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* /*attr*/, int /*to_set*/,
                fuse_file_info* /*fi*/) {
  const struct stat st = attributes_of(ino);
  fuse_reply_attr(req, &st, kForever);
}

void on_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kPortIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  // Every read and write must reach the ports, at its own offset and size:
  // no page cache, no read-ahead.
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fuse_reply_open(req, fi);
}

void on_read(fuse_req_t req, fuse_ino_t /*ino*/, std::size_t size, off_t off,
             fuse_file_info* /*fi*/) {
  const pid_t tid = fuse_req_ctx(req)->pid;
  std::vector<char> bytes;
  for (off_t port = off; port < kPortSpace && bytes.size() < size; ++port) {
    bytes.push_back(
        static_cast<char>(file_of(req).bus().read_byte(tid, static_cast<std::uint16_t>(port))));
  }
  fuse_reply_buf(req, bytes.data(), bytes.size());
}

void on_write(fuse_req_t req, fuse_ino_t /*ino*/, const char* data, std::size_t size, off_t off,
              fuse_file_info* /*fi*/) {
  const pid_t tid = fuse_req_ctx(req)->pid;
  std::size_t done = 0;
  for (off_t port = off; port < kPortSpace && done < size; ++port, ++done) {
    file_of(req).bus().write_byte(tid, static_cast<std::uint16_t>(port),
                                  static_cast<std::uint8_t>(data[done]));
  }
  fuse_reply_write(req, done);
}

const fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops ops{};
  ops.lookup = on_lookup;
  ops.getattr = on_getattr;
  ops.setattr = on_setattr;
  ops.open = on_open;
  ops.read = on_read;
  ops.write = on_write;
  return ops;
}();

std::string temporary_base() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

}  // namespace

std::unique_ptr<DevPortFile> DevPortFile::mount(DevPortBus& bus, std::string& why) {
  std::string dir = temporary_base() + "/cdbox-sim-devport.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    why = "cannot make a mount point " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<DevPortFile> file(new DevPortFile(bus, dir));
  char program[] = "cdbox-sim";
  char* argv[] = {program, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  file->session_ = fuse_session_new(&args, &kOperations, sizeof kOperations, file.get());
  fuse_opt_free_args(&args);
  if (file->session_ == nullptr) {
    why = "cannot start a FUSE session";
    return nullptr;
  }
  if (fuse_session_mount(file->session_, dir.c_str()) != 0) {
    why = "cannot mount a FUSE file on " + dir +
          " (needs /dev/fuse, and fusermount3 from the fuse3 package when not root)";
    return nullptr;
  }
  file->mounted_ = true;
  file->path_ = dir + "/" + kPortName;
  return file;
}

DevPortFile::~DevPortFile() {
  if (session_ != nullptr) {
    if (mounted_) {
      fuse_session_unmount(session_);
    }
    fuse_session_destroy(session_);
  }
  std::free(buffer_);
  rmdir(dir_.c_str());
}

int DevPortFile::fd() const {
  return gone_ ? -1 : fuse_session_fd(session_);
}

void DevPortFile::serve() {
  fuse_buf buf{};
  buf.mem = buffer_;
  const int got = fuse_session_receive_buf(session_, &buf);
  buffer_ = buf.mem;
  if (got > 0) {
    fuse_session_process_buf(session_, &buf);
  } else if (got == 0 || got == -ENODEV) {
    // Unmounted from outside: nothing more will come.
    gone_ = true;
  }
}

}  // namespace cdbox::sim
