// SPDX-License-Identifier: MIT
// Opens of /dev/port, as the kernel checks them: CAP_SYS_RAWIO, which the
// program would hold without the simulator; then the program opens the
// simulator's port file instead, by a path put on its stack.
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>

#include <cerrno>
#include <cstdint>
#include <span>

#include "sim/tracee.h"
#include "sim/tracer.h"

namespace cdbox::sim {
namespace {

// Below the stack pointer the x86-64 ABI leaves 128 bytes to the running
// function; the path goes below that.
constexpr std::uint64_t kRedZone = 128;
constexpr std::uint64_t kStackAlign = 16;

unsigned path_arg(TrappedCall which) {
  return which == TrappedCall::Open ? 0 : 1;
}

}  // namespace

void Tracer::open_call(pid_t tid, user_regs_struct& regs, const SyscallStop& call,
                       TrappedCall which) {
  const std::string path = read_string(tid, call.args[path_arg(which)], PATH_MAX);
  const int dirfd = which == TrappedCall::Open ? AT_FDCWD : static_cast<int>(call.args[0]);
  if (!names_dev_port(tid, dirfd, path)) {
    resume(tid);
    return;
  }
  // No file to open: refused, or FUSE cannot serve it (ENODEV).
  int refusal = ENODEV;
  const std::string* file = nullptr;
  if (const auto& refuse = session_.options().refuse_devport) {
    refusal = *refuse;
  } else if (!session_.program_would_hold_raw_io()) {
    refusal = EPERM;
  } else {
    file = devport_.file_path();
  }
  if (file == nullptr) {
    session_.record(tid, ev::DevPortOpen{-refusal});
    skip_call(tid, regs, -refusal);
    return;
  }
  if (!redirect_open(tid, regs, call, which, *file)) {
    cannot_handle(tid, "point an open of /dev/port to the simulator's port file");
    return;
  }
  session_.record(tid, ev::DevPortOpen{0});
  resume(tid);
}

bool Tracer::redirect_open(pid_t tid, user_regs_struct& regs, const SyscallStop& call,
                           TrappedCall which, const std::string& path) {
  const std::uint64_t size = path.size() + 1;
  const std::uint64_t at = (regs.rsp - kRedZone - size) & ~(kStackAlign - 1);
  const bool narrow = call.arch == AUDIT_ARCH_I386;
  if (narrow && at > UINT32_MAX) {
    // A 64-bit stack seen through the 32-bit entry: no pointer reaches it.
    errno = EFAULT;
    return false;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(path.c_str());
  if (!write_memory(tid, at, std::span(bytes, size))) {
    return false;
  }
  const bool first = path_arg(which) == 0;
  auto& reg = narrow ? (first ? regs.rbx : regs.rcx) : (first ? regs.rdi : regs.rsi);
  reg = at;
  return set_regs(tid, regs);
}

}  // namespace cdbox::sim
