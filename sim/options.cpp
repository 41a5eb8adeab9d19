// SPDX-License-Identifier: MIT
#include "sim/options.h"

#include <getopt.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "sim/names.h"

#ifndef CDBOX_VERSION
#define CDBOX_VERSION "unknown"
#endif

namespace cdbox::sim {
namespace {

enum OptionId {
  kTrace = 1000,
  kVirtualTime,
  kStatus,
  kOpenAfter,
  kCloseAfter,
  kMaxHold,
  kRefuseIopl,
  kRefuseIoperm,
  kRefuseDevport,
  kSignalOnPulse,
  kVcd,
  kAbsent,
  kJam,
  kSensorActiveLow,
  kAt,
  kDrawer,
  kHelp,
  kVersion,
};

const option kLongOptions[] = {
    {"trace", required_argument, nullptr, kTrace},
    {"virtual-time", no_argument, nullptr, kVirtualTime},
    {"status", required_argument, nullptr, kStatus},
    {"open-after", required_argument, nullptr, kOpenAfter},
    {"close-after", required_argument, nullptr, kCloseAfter},
    {"max-hold", required_argument, nullptr, kMaxHold},
    {"refuse-iopl", optional_argument, nullptr, kRefuseIopl},
    {"refuse-ioperm", optional_argument, nullptr, kRefuseIoperm},
    {"refuse-devport", optional_argument, nullptr, kRefuseDevport},
    {"signal-on-pulse", required_argument, nullptr, kSignalOnPulse},
    {"vcd", required_argument, nullptr, kVcd},
    {"absent", no_argument, nullptr, kAbsent},
    {"jam", required_argument, nullptr, kJam},
    {"sensor-active-low", no_argument, nullptr, kSensorActiveLow},
    {"at", required_argument, nullptr, kAt},
    {"drawer", required_argument, nullptr, kDrawer},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Everything --help and --version print is on stdout's buffer until here:
// a full disk, a closed descriptor or a broken pipe shows up now, and is an
// error as it is for any GNU tool.
int finish_output() {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return 0;
  }
  const int error = errno;
  if (error != 0) {
    std::fprintf(stderr, "cdbox-sim: write error: %s\n", std::strerror(error));
  } else {
    std::fprintf(stderr, "cdbox-sim: write error\n");
  }
  return kExitWriteError;
}

int print_help() {
  // The defaults come from the machine, which holds them once.
  std::printf(
      "Usage: cdbox-sim [OPTION]... [--] PROGRAM [ARG]...\n"
      "Run PROGRAM with a virtual cash drawer controller behind I/O ports 0x482-0x484.\n"
      "iopl and ioperm are granted virtually, port instructions are emulated and\n"
      "nothing reaches the real port space.\n"
      "\n"
      "      --trace=FILE          write every event to FILE ('-': standard error)\n"
      "      --virtual-time        run on a virtual clock: waits end at once, clock\n"
      "                            reads tell the virtual time\n"
      "      --status=BYTE         status register base value (default 0x%02x)\n"
      "      --open-after=MS       a drawer opens after its solenoid has been\n"
      "                            energized this long (default %lld)\n"
      "      --close-after=MS      an open drawer shuts this long after opening\n"
      "                            (default: it stays open)\n"
      "      --max-hold=MS         longest safe solenoid hold (default %lld)\n"
      "      --refuse-iopl[=ERR]   fail iopl with errno ERR (default EPERM)\n"
      "      --refuse-ioperm[=ERR] fail ioperm with errno ERR (default EPERM)\n"
      "      --refuse-devport[=ERR]\n"
      "                            fail opens of /dev/port with errno ERR\n"
      "                            (default EPERM)\n"
      "      --signal-on-pulse=SIG send SIG to the program right after its first\n"
      "                            write that energizes a solenoid\n"
      "      --vcd=FILE            write the run as a waveform (VCD) to FILE\n"
      "      --absent              no controller answers: reads give 0xff, writes\n"
      "                            are lost\n"
      "      --jam=N               drawer N's latch is jammed: it never opens\n"
      "      --sensor-active-low   a sensor bit reads 0 while its drawer is open\n"
      "      --at=MS:open:N, --at=MS:close:N\n"
      "                            the operator opens or shuts drawer N by hand\n"
      "                            MS ms after the start (repeatable)\n"
      "      --drawer=N:SOLENOID:SENSOR\n"
      "                            drawer N's control and status bits, such as\n"
      "                            2:0x40:0x01 (default: this build's map)\n"
      "      --help                display this help and exit\n"
      "      --version             output version information and exit\n"
      "\n"
      "Exit status: PROGRAM's own, or 128+N when signal N ended it; 70 when a\n"
      "violation was recorded; 74 when the trace could not be written to its end;\n"
      "125 when cdbox-sim itself failed; 126 when PROGRAM cannot be executed;\n"
      "127 when it is not found; 1 when this help or the version cannot be\n"
      "written.\n"
      "\n"
      "See cdbox-sim(1) for the trace format and the violations.\n"
      "\n"
      "Report bugs to: " CDBOX_BUG_ADDRESS "\n",
      unsigned{kDefaultStatusBase}, static_cast<long long>(kDefaultOpenAfterMs),
      static_cast<long long>(kDefaultMaxHoldMs));
  return finish_output();
}

int print_version() {
  std::fputs("cdbox-sim (cdbox) " CDBOX_VERSION
             "\n"
             "Copyright (C) 2026 The cdbox developers\n"
             "License MIT: <https://spdx.org/licenses/MIT.html>.\n"
             "This is free software: you are free to change and redistribute it.\n"
             "There is NO WARRANTY, to the extent permitted by law.\n",
             stdout);
  return finish_output();
}

int usage_error(const char* what, const char* value, const char* expected) {
  std::fprintf(stderr, "cdbox-sim: %s: invalid value '%s': %s; try 'cdbox-sim --help'\n", what,
               value, expected);
  return kExitSimFailure;
}

template <typename T>
std::optional<T> parse_number(std::string_view text, int base) {
  if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) {
    text.remove_prefix(2);
  }
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end) {
    return std::nullopt;
  }
  return value;
}

// A byte as 0x0c, 0X0C or 12.
std::optional<std::uint8_t> parse_byte(std::string_view text) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  auto value = parse_number<unsigned>(text, hex ? 16 : 10);
  if (!value || *value > 0xff) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(*value);
}

// Milliseconds: a whole number up to a day.
std::optional<std::int64_t> parse_ms(std::string_view text) {
  constexpr std::int64_t kDayMs = 86'400'000;
  auto value = parse_number<std::int64_t>(text, 10);
  if (!value || *value < 0 || *value > kDayMs) {
    return std::nullopt;
  }
  return value;
}

// A drawer number: 1 or 2.
std::optional<int> parse_drawer(std::string_view text) {
  auto value = parse_number<int>(text, 10);
  if (!value || *value < 1 || *value > kDrawerCount) {
    return std::nullopt;
  }
  return value;
}

// Splits "A:B:C" into its three fields.
std::optional<std::array<std::string_view, 3>> three_fields(std::string_view text) {
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  return std::array{text.substr(0, first), text.substr(first + 1, second - first - 1),
                    text.substr(second + 1)};
}

// "MS:open:N" or "MS:close:N".
std::optional<HandAction> parse_hand_action(std::string_view text) {
  const auto fields = three_fields(text);
  if (!fields) {
    return std::nullopt;
  }
  const auto ms = parse_ms((*fields)[0]);
  const auto drawer = parse_drawer((*fields)[2]);
  const std::string_view what = (*fields)[1];
  if (!ms || !drawer || (what != "open" && what != "close")) {
    return std::nullopt;
  }
  return HandAction{*ms * kNsPerMs, *drawer, what == "open"};
}

// "N:SOLENOID:SENSOR", each bit a byte other than 0.
std::optional<std::pair<int, DrawerMap>> parse_drawer_map(std::string_view text) {
  const auto fields = three_fields(text);
  if (!fields) {
    return std::nullopt;
  }
  const auto drawer = parse_drawer((*fields)[0]);
  const auto solenoid = parse_byte((*fields)[1]);
  const auto sensor = parse_byte((*fields)[2]);
  if (!drawer || !solenoid || !sensor || *solenoid == 0 || *sensor == 0) {
    return std::nullopt;
  }
  return std::pair{*drawer, DrawerMap{*solenoid, *sensor}};
}

// Handles the options of the controller's scenarios and map.
std::optional<int> apply_scenario_option(int id, const char* arg, Options& options) {
  switch (id) {
    case kAbsent:
      options.controller.absent = true;
      return std::nullopt;
    case kSensorActiveLow:
      options.controller.sensor_active_low = true;
      return std::nullopt;
    case kJam:
      if (auto drawer = parse_drawer(arg)) {
        options.controller.jammed[static_cast<std::size_t>(*drawer - 1)] = true;
        return std::nullopt;
      }
      return usage_error("--jam", arg, "expected a drawer, 1 or 2");
    case kAt:
      if (auto action = parse_hand_action(arg)) {
        options.controller.hand.push_back(*action);
        return std::nullopt;
      }
      return usage_error("--at", arg, "expected MS:open:N or MS:close:N, such as 1000:open:1");
    case kDrawer:
      if (auto map = parse_drawer_map(arg)) {
        options.controller.map[static_cast<std::size_t>(map->first - 1)] = map->second;
        return std::nullopt;
      }
      return usage_error("--drawer", arg,
                         "expected N:SOLENOID:SENSOR with bytes other than 0, such as 2:0x40:0x01");
    default:
      return kExitSimFailure;
  }
}

// Handles one option; returns an exit status when the run is over.
std::optional<int> apply_option(int id, const char* arg, Options& options) {
  switch (id) {
    case kTrace:
      options.trace_path = arg;
      return std::nullopt;
    case kVirtualTime:
      options.virtual_time = true;
      return std::nullopt;
    case kStatus:
      if (auto byte = parse_byte(arg)) {
        options.status_base = *byte;
        return std::nullopt;
      }
      return usage_error("--status", arg, "expected a byte such as 0x0c");
    case kOpenAfter:
    case kCloseAfter:
    case kMaxHold: {
      auto ms = parse_ms(arg);
      if (!ms) {
        return usage_error(id == kOpenAfter    ? "--open-after"
                           : id == kCloseAfter ? "--close-after"
                                               : "--max-hold",
                           arg, "expected milliseconds, a whole number from 0 to 86400000");
      }
      if (id == kOpenAfter) {
        options.open_after_ms = *ms;
      } else if (id == kCloseAfter) {
        options.close_after_ms = *ms;
      } else {
        options.max_hold_ms = *ms;
      }
      return std::nullopt;
    }
    case kRefuseIopl:
    case kRefuseIoperm:
    case kRefuseDevport: {
      auto err = parse_errno(arg != nullptr ? arg : "EPERM");
      if (!err) {
        const char* name = id == kRefuseIopl     ? "--refuse-iopl"
                           : id == kRefuseIoperm ? "--refuse-ioperm"
                                                 : "--refuse-devport";
        return usage_error(name, arg, "expected an errno name such as EPERM, or a number");
      }
      (id == kRefuseIopl     ? options.refuse_iopl
       : id == kRefuseIoperm ? options.refuse_ioperm
                             : options.refuse_devport) = *err;
      return std::nullopt;
    }
    case kSignalOnPulse:
      if (auto sig = parse_signal(arg)) {
        options.signal_on_pulse = *sig;
        return std::nullopt;
      }
      return usage_error("--signal-on-pulse", arg, "expected a signal name such as SIGINT");
    case kVcd:
      options.vcd_path = arg;
      return std::nullopt;
    case kAbsent:
    case kSensorActiveLow:
    case kJam:
    case kAt:
    case kDrawer:
      return apply_scenario_option(id, arg, options);
    case kHelp:
      return print_help();
    case kVersion:
      return print_version();
    default:
      return kExitSimFailure;
  }
}

}  // namespace

std::optional<int> parse_options(int argc, char** argv, Options& options) {
  optind = 1;
  opterr = 0;
  int id = 0;
  // '+': options end at PROGRAM, whose own options are left alone;
  // ':': a missing argument is told apart from an unknown option.
  while ((id = getopt_long(argc, argv, "+:", kLongOptions, nullptr)) != -1) {
    if (id == '?' || id == ':') {
      std::fprintf(stderr, "cdbox-sim: %s option '%s'; try 'cdbox-sim --help'\n",
                   id == '?' ? "unrecognized" : "missing argument for", argv[optind - 1]);
      return kExitSimFailure;
    }
    if (auto status = apply_option(id, optarg, options)) {
      return status;
    }
  }
  if (optind >= argc) {
    std::fprintf(stderr, "cdbox-sim: no program to run; try 'cdbox-sim --help'\n");
    return kExitSimFailure;
  }
  options.program.assign(argv + optind, argv + argc);
  return std::nullopt;
}

}  // namespace cdbox::sim
