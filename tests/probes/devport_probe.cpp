// SPDX-License-Identifier: MIT
// Reaches the drawer controller through /dev/port with the calls a C
// program uses: pwrite, pread, lseek (SEEK_SET, SEEK_CUR), read, write,
// and at the end of the port space. Prints each call's result; run it
// only under cdbox-sim.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void show(const char* what, long long result) {
  if (result < 0) {
    std::printf("%s = -%s\n", what, strerrorname_np(errno));
  } else {
    std::printf("%s = %lld\n", what, result);
  }
}

// result first: the byte is read once the call has returned.
void show_byte(const char* what, long long result, const unsigned char& byte) {
  if (result == 1) {
    std::printf("%s = 0x%02x\n", what, byte);
  } else {
    show(what, result);
  }
}

}  // namespace

int main() {
  const int fd = open("/dev/port", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    show("open", fd);
    return 1;
  }
  unsigned char byte = 0x10;
  show("pwrite 0x482", pwrite(fd, &byte, 1, 0x482));
  const timespec hold{0, 100'000'000};
  nanosleep(&hold, nullptr);
  show_byte("pread 0x482", pread(fd, &byte, 1, 0x482), byte);
  show("lseek SET 0x482", lseek(fd, 0x482, SEEK_SET));
  byte = 0x00;
  show("write", write(fd, &byte, 1));
  show("lseek CUR -1", lseek(fd, -1, SEEK_CUR));
  show_byte("read", read(fd, &byte, 1), byte);
  show("lseek CUR 0", lseek(fd, 0, SEEK_CUR));
  unsigned char end[4] = {};
  show("pread 4 at 0xffff", pread(fd, end, sizeof end, 0xffff));
  show("pread 1 at 0x10000", pread(fd, end, 1, 0x10000));
  show("pwrite 1 at 0x10000", pwrite(fd, end, 1, 0x10000));
  return close(fd) == 0 ? 0 : 1;
}
