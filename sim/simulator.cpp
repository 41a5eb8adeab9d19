// SPDX-License-Identifier: MIT
#include "sim/simulator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/capabilities.h"
#include "sim/launcher.h"
#include "sim/options.h"
#include "sim/session.h"
#include "sim/signals.h"
#include "sim/tracer.h"

namespace cdbox::sim {
namespace {

// The exit status that passes the program's own end on.
int status_of_program(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return 128 + WTERMSIG(wait_status);
  }
  return WEXITSTATUS(wait_status);
}

}  // namespace

int run_simulator(int argc, char** argv) {
  Options options;
  if (auto status = parse_options(argc, argv, options)) {
    return *status;
  }
  std::unique_ptr<TraceWriter> trace = options.trace_path.empty()
                                           ? std::make_unique<TraceWriter>()
                                           : TraceWriter::open(options.trace_path);
  if (!trace) {
    std::fprintf(stderr, "cdbox-sim: cannot write trace '%s': %s\n", options.trace_path.c_str(),
                 std::strerror(errno));
    return kExitSimFailure;
  }
  std::unique_ptr<VcdWriter> vcd;
  if (!options.vcd_path.empty()) {
    vcd = VcdWriter::open(options.vcd_path);
    if (!vcd) {
      std::fprintf(stderr, "cdbox-sim: cannot write waveform '%s': %s\n", options.vcd_path.c_str(),
                   std::strerror(errno));
      return kExitSimFailure;
    }
  }
  Session session(options, std::move(trace), std::move(vcd));
  session.set_program_would_hold_raw_io(holds_raw_io_capability());

  // Before the program starts, so no signal finds cdbox-sim unprepared.
  SignalInbox inbox;
  if (!inbox.valid()) {
    std::fprintf(stderr, "cdbox-sim: cannot make a signalfd: %s\n", std::strerror(errno));
    return kExitSimFailure;
  }
  Launched launched;
  if (int status = launch(options.program, options.virtual_time, inbox.original_mask(), launched);
      status != 0) {
    return status;
  }
  const NotTraceable not_traceable;
  Tracer tracer(session, launched.pid, inbox);
  const std::optional<int> wait_status = tracer.run();
  session.finish();
  if (!wait_status) {
    return kExitSimFailure;
  }
  if (!tracer.program_started()) {
    LaunchReport report;
    if (read(launched.report.get(), &report, sizeof report) ==
        static_cast<ssize_t>(sizeof report)) {
      return explain_launch_report(report, options.program.front());
    }
    std::fprintf(stderr, "cdbox-sim: '%s' ended before it started\n",
                 options.program.front().c_str());
    return kExitSimFailure;
  }
  for (const std::string& text : session.warnings()) {
    std::fprintf(stderr, "cdbox-sim: warning: %s\n", text.c_str());
  }
  for (const std::string& text : session.violations()) {
    std::fprintf(stderr, "cdbox-sim: violation: %s\n", text.c_str());
  }
  if (const int err = session.trace_error(); err != 0) {
    std::fprintf(stderr, "cdbox-sim: trace: %s; the program ran to its end untraced from there\n",
                 std::strerror(err));
    if (session.violations().empty()) {
      return kExitTraceFailed;
    }
  }
  if (session.vcd() != nullptr && !session.vcd()->good()) {
    std::fprintf(stderr, "cdbox-sim: waveform '%s': not written to its end; check the disk\n",
                 options.vcd_path.c_str());
    if (session.violations().empty()) {
      return kExitTraceFailed;
    }
  }
  return session.violations().empty() ? status_of_program(*wait_status) : kExitViolation;
}

}  // namespace cdbox::sim
