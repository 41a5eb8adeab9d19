// SPDX-License-Identifier: MIT
#include "console/hints.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// The kernel's lockdown state: its modes, the one in force in brackets,
// "[none] integrity confidentiality" when it is off.
constexpr char CDBoxLockdownPath[] = "/sys/kernel/security/lockdown";
// Room for the kernel's whole line, with some to spare.
constexpr std::size_t CDBoxLockdownTextSize = 128;
// Longest mode name shown; the kernel's are "integrity" and "confidentiality".
constexpr std::size_t CDBoxLockdownModeSize = 32;

constexpr char CDBoxHintNotRoot[] =
    "cdbox-test: hint: run it as root (sudo cdbox-test): port I/O needs CAP_SYS_RAWIO\n";
constexpr char CDBoxHintTakenAway[] =
    "cdbox-test: hint: port I/O is refused even to root: something outside the tool takes it "
    "away (a container or sandbox without CAP_SYS_RAWIO, a seccomp policy, a virtual machine); "
    "run it on the terminal's own system\n";
constexpr char CDBoxHintNoKernelSupport[] =
    "cdbox-test: hint: the kernel was built without CONFIG_X86_IOPL_IOPERM; check with: "
    "grep CONFIG_X86_IOPL_IOPERM /boot/config-$(uname -r)\n";

// Reads up to size - 1 bytes of path into text, NUL-terminated; an
// unreadable or absent file reads as empty. Opened without blocking, so
// that no FIFO or device put in the file's place can hold the tool.
void read_small_file(const char* path, char* text, std::size_t size) {
  std::size_t used = 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    while (used + 1 < size) {
      const ssize_t got = read(fd, text + used, size - 1 - used);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      used += static_cast<std::size_t>(got);
    }
    close(fd);
  }
  text[used] = '\0';
}

bool is_mode_letter(char c) {
  return (c >= 'a' && c <= 'z') || c == '_' || c == '-';
}

// Copies the bracketed mode of a lockdown text into mode. False when the
// text shows none in force: no brackets, "[none]", or anything in them that
// is not a plain lower-case name of fewer than size characters.
bool lockdown_mode_in(const char* text, char* mode, std::size_t size) {
  const char* open_bracket = std::strchr(text, '[');
  if (open_bracket == nullptr) {
    return false;
  }
  std::size_t length = 0;
  for (const char* c = open_bracket + 1; *c != ']'; ++c) {
    if (!is_mode_letter(*c) || length + 1 >= size) {
      return false;
    }
    mode[length++] = *c;
  }
  mode[length] = '\0';
  return length != 0 && std::strcmp(mode, "none") != 0;
}

}  // namespace

void print_refusal_hint(int error) {
  if (error == ENOSYS) {
    std::fputs(CDBoxHintNoKernelSupport, stderr);
    return;
  }
  if (error != EPERM) {
    return;
  }
  if (geteuid() != 0) {
    std::fputs(CDBoxHintNotRoot, stderr);
    return;
  }
  char text[CDBoxLockdownTextSize];
  char mode[CDBoxLockdownModeSize];
  read_small_file(CDBoxLockdownPath, text, sizeof text);
  if (lockdown_mode_in(text, mode, sizeof mode)) {
    std::fprintf(stderr,
                 "cdbox-test: hint: the kernel is in lockdown mode \"%s\" and refuses port I/O "
                 "even to root, usually because Secure Boot is on: turn Secure Boot off in the "
                 "firmware setup\n",
                 mode);
  } else {
    std::fputs(CDBoxHintTakenAway, stderr);
  }
}
