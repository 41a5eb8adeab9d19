// SPDX-License-Identifier: MIT
#include "sim/capabilities.h"

#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace cdbox::sim {
namespace {

constexpr long kPortCount = 65536;

// CAP_SYS_RAWIO: iopl, ioperm, /dev/port, /dev/mem, MSRs, raw disk access.
// CAP_SYS_PTRACE: attaching to a process outside the trace (cdbox-sim
// itself, or a bystander with real privilege) and making it do the above.
// CAP_SYS_MODULE: a kernel module of its own can do anything.
// CAP_SYS_BOOT: kexec_load starts a kernel of its own choosing.
// Everything else stays, so a program that expects root still runs as root;
// none of the rest reaches a port (/dev/port and /dev/mem check
// CAP_SYS_RAWIO on open, so CAP_MKNOD adds nothing).
constexpr std::array<cap_value_t, 4> kDropped = {CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_MODULE,
                                                 CAP_SYS_BOOT};

// ENOSYS: a kernel without port I/O support; EPERM: nothing to give up
// that this process may change. Either way no real privilege is left.
int give_up_port_privilege() {
  if (syscall(SYS_iopl, 0) != 0 && errno != ENOSYS && errno != EPERM) {
    return errno;
  }
  if (syscall(SYS_ioperm, 0, kPortCount, 0) != 0 && errno != ENOSYS && errno != EPERM) {
    return errno;
  }
  return 0;
}

int drop_from_every_set() {
  // The bounding set needs CAP_SETPCAP to shrink; an ordinary user lacks
  // it, and no_new_privs (set below) keeps exec from raising anything
  // then.
  for (const cap_value_t cap : kDropped) {
    if (cap_drop_bound(cap) != 0 && errno != EPERM && errno != EINVAL) {
      return errno;
    }
  }
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    return errno;
  }
  int err = 0;
  for (const cap_flag_t set : {CAP_EFFECTIVE, CAP_PERMITTED, CAP_INHERITABLE}) {
    if (cap_set_flag(caps, set, static_cast<int>(kDropped.size()), kDropped.data(), CAP_CLEAR) !=
        0) {
      err = errno;
    }
  }
  if (err == 0 && cap_set_proc(caps) != 0) {
    err = errno;
  }
  cap_free(caps);
  if (err != 0) {
    return err;
  }
  // Ambient capabilities are a subset of permitted and inheritable, but are
  // cleared outright so none survives an exec. EINVAL: no ambient support.
  if (cap_reset_ambient() != 0 && errno != EINVAL) {
    return errno;
  }
  return 0;
}

}  // namespace

bool holds_raw_io_capability() {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    return false;
  }
  cap_flag_value_t value = CAP_CLEAR;
  const bool held =
      cap_get_flag(caps, CAP_SYS_RAWIO, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
  cap_free(caps);
  return held;
}

int give_up_hardware_access() {
  if (int err = give_up_port_privilege(); err != 0) {
    return err;
  }
  if (int err = drop_from_every_set(); err != 0) {
    return err;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return errno;
  }
  return 0;
}

// A process that is not dumpable can be attached to or read through
// /proc only with CAP_SYS_PTRACE, which the traced program no longer has.
NotTraceable::NotTraceable() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// Back to normal, so tools that inspect the process as it ends (such as
// LeakSanitizer) still can.
NotTraceable::~NotTraceable() {
  prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

}  // namespace cdbox::sim
