// SPDX-License-Identifier: MIT
#include "sim/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace cdbox::sim {
namespace {

constexpr std::array kForwarded = {SIGHUP,    SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                                   SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};
constexpr std::array kIgnored = {SIGINT,  SIGQUIT, SIGPIPE, SIGXCPU, SIGXFSZ,   SIGILL, SIGTRAP,
                                 SIGABRT, SIGBUS,  SIGFPE,  SIGSEGV, SIGSTKFLT, SIGSYS};
// The kernel's real-time range; the C library's SIGRTMIN lies inside it.
constexpr int kFirstRealtime = 32;

template <std::size_t N>
bool is_one_of(int sig, const std::array<int, N>& set) {
  for (const int member : set) {
    if (member == sig) {
      return true;
    }
  }
  return false;
}

sigset_t taken_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  for (const int sig : kForwarded) {
    sigaddset(&set, sig);
  }
  for (const int sig : kIgnored) {
    sigaddset(&set, sig);
  }
  for (int sig = kFirstRealtime; sig <= SIGRTMAX; ++sig) {
    sigaddset(&set, sig);
  }
  return set;
}

}  // namespace

SignalRole role_of(int sig) {
  if (sig == SIGCHLD) {
    return SignalRole::Child;
  }
  if (is_one_of(sig, kForwarded) || (sig >= kFirstRealtime && sig <= SIGRTMAX)) {
    return SignalRole::Forward;
  }
  return SignalRole::Ignore;
}

bool ends_leftover_processes(int sig) {
  return sig == SIGTERM || sig == SIGHUP || sig == SIGINT;
}

SignalInbox::SignalInbox() {
  const sigset_t set = taken_signals();
  if (sigprocmask(SIG_BLOCK, &set, &original_) != 0) {
    return;
  }
  fd_.reset(signalfd(-1, &set, SFD_CLOEXEC));
}

std::span<const signalfd_siginfo> SignalInbox::wait() {
  const ssize_t got = read(fd_.get(), batch_.data(), sizeof batch_);
  if (got <= 0) {
    return {};
  }
  return std::span(batch_.data(), static_cast<std::size_t>(got) / sizeof(signalfd_siginfo));
}

}  // namespace cdbox::sim
