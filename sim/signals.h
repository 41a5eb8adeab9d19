// SPDX-License-Identifier: MIT
// The signals sent to cdbox-sim while it traces: none ends it by its
// default action. Each is taken through a signalfd and then passed on to
// the program or ignored.
#pragma once

#include <signal.h>
#include <sys/signalfd.h>

#include <array>
#include <span>

#include "sim/unique_fd.h"

namespace cdbox::sim {

enum class SignalRole {
  Child,    // SIGCHLD: a traced task changed state
  Forward,  // a request meant for the program: passed on to it
  Ignore,   // meant for the program's group or about cdbox-sim itself
};

// What cdbox-sim does with sig while the program runs. Forwarded: SIGHUP,
// SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR and
// the real-time signals. Ignored: SIGINT and SIGQUIT (a terminal sends them
// to the program itself), SIGPIPE (a trace that cannot be written is
// reported at the end), SIGXCPU and SIGXFSZ (cdbox-sim's own limits), and
// the fault signals SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV,
// SIGSTKFLT and SIGSYS sent by kill, which tell of no fault of the program.
SignalRole role_of(int sig);

// True for SIGTERM, SIGHUP and SIGINT: once the main program has ended,
// they end whatever traced processes it left, and then cdbox-sim.
bool ends_leftover_processes(int sig);

// Holds every signal of role_of back from its default action and hands
// them out as they arrive. They stay blocked after it is gone, for the short
// rest of cdbox-sim's life: one still pending (a SIGPIPE) must not end it
// then.
class SignalInbox {
 public:
  SignalInbox();
  SignalInbox(const SignalInbox&) = delete;
  SignalInbox& operator=(const SignalInbox&) = delete;
  ~SignalInbox() = default;

  // False when the signalfd could not be made (errno says why).
  [[nodiscard]] bool valid() const { return fd_.valid(); }
  [[nodiscard]] int fd() const { return fd_.get(); }
  // The mask cdbox-sim started with: the one the program starts with.
  [[nodiscard]] const sigset_t& original_mask() const { return original_; }
  // Blocks until a signal arrives, then hands out those that have come,
  // up to a batch (the rest stay for the next call). Empty when the wait
  // was interrupted.
  std::span<const signalfd_siginfo> wait();

 private:
  // A batch holds each standard signal pending at once with room to spare.
  static constexpr std::size_t kBatch = 32;
  sigset_t original_{};
  std::array<signalfd_siginfo, kBatch> batch_{};
  UniqueFd fd_;
};

}  // namespace cdbox::sim
