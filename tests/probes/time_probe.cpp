// SPDX-License-Identifier: MIT
// A program of waits and clock reads for the tests of virtual time. Its
// arguments are steps, run in order; what a step prints lets a test check
// the program's view of time beside the trace.
//
//   on | off                          drawer 1's solenoid on (iopl first) or off
//   sleep US                          nanosleep
//   select US | pselect US | ppoll US | poll MS    waits that watch no descriptor
//   selectfd US                       select on a pipe that stays empty
//   busy US                           reads CLOCK_MONOTONIC until US have passed
//   mark CLOCK | elapsed CLOCK        note CLOCK; print "CLOCK = US" since the mark
//   until CLOCK US                    clock_nanosleep with TIMER_ABSTIME to mark + US
//                                     CLOCK: MONOTONIC, REALTIME, BOOTTIME,
//                                     MONOTONIC_COARSE, GETTIMEOFDAY or TIME
//   bg STEPS... end                   runs STEPS in a new thread; join waits for it
//   fork STEPS... end                 runs STEPS in a child; wait waits for it
//   readblock                         a thread that blocks reading an empty pipe
//   clockerr ID FLAGS SEC NSEC        clock_nanosleep; print its result
//   nserr SEC NSEC | selecterr NFDS SEC USEC | ppollerr SEC NSEC
//   gettime ID                        clock_gettime; print its result
//   efault CALL                       CALL with a pointer to no memory; print its result
//   interrupted US                    nanosleep of US, ended by SIGUSR1 from a thread
//                                     that computes; print result and whether the
//                                     time left is some of the time asked
//   reads N                           N clock_gettime calls
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// A page that is never mapped in a process of this kind.
void* const kNoMemory = reinterpret_cast<void*>(8);

long long number(const char* text) {
  return std::strtoll(text, nullptr, 0);
}

void print_result(const char* what, long result) {
  std::printf("%s = %s\n", what, result == 0 ? "0" : strerrorname_np(errno));
}

timespec timespec_of_us(long long us) {
  return timespec{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
}

int clock_id_of(const std::string& name) {
  static const std::map<std::string, int> kClocks = {{"MONOTONIC", CLOCK_MONOTONIC},
                                                     {"REALTIME", CLOCK_REALTIME},
                                                     {"BOOTTIME", CLOCK_BOOTTIME},
                                                     {"MONOTONIC_COARSE", CLOCK_MONOTONIC_COARSE}};
  const auto it = kClocks.find(name);
  return it != kClocks.end() ? it->second : CLOCK_REALTIME;
}

// CLOCK now in ns, through the call the name says.
std::int64_t read_named_clock(const std::string& name) {
  if (name == "GETTIMEOFDAY") {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return std::int64_t{tv.tv_sec} * kNsPerSecond + std::int64_t{tv.tv_usec} * 1000;
  }
  if (name == "TIME") {
    return std::int64_t{time(nullptr)} * kNsPerSecond;
  }
  timespec ts{};
  clock_gettime(clock_id_of(name), &ts);
  return std::int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

void outb_control(unsigned value) {
  static bool privileged = false;
  if (!privileged) {
    privileged = iopl(3) == 0;
  }
  asm volatile("outb %b0, %w1" : : "a"(value), "Nd"(std::uint16_t{0x482}));
}

void busy_for(long long us) {
  const std::int64_t start = read_named_clock("MONOTONIC");
  while (read_named_clock("MONOTONIC") - start < us * 1000) {
  }
}

void select_on_empty_pipe(long long us) {
  int fds[2];
  if (pipe(fds) != 0) {
    return;
  }
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fds[0], &read_set);
  timeval tv{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
  select(fds[0] + 1, &read_set, nullptr, nullptr, &tv);
  close(fds[0]);
  close(fds[1]);
}

void block_reading() {
  int fds[2];
  if (pipe(fds) == 0) {
    std::thread([fd = fds[0]] {
      char byte = 0;
      [[maybe_unused]] ssize_t got = read(fd, &byte, 1);
    }).detach();
  }
}

void efault(const std::string& call) {
  long result = -1;
  if (call == "nanosleep") {
    result = syscall(SYS_nanosleep, kNoMemory, nullptr);
  } else if (call == "clock_nanosleep") {
    result = syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, kNoMemory, nullptr);
  } else if (call == "clock_nanosleep_badclock") {
    result = syscall(SYS_clock_nanosleep, 99, 0, kNoMemory, nullptr);
  } else if (call == "clock_gettime") {
    result = syscall(SYS_clock_gettime, CLOCK_MONOTONIC, kNoMemory);
  } else if (call == "gettimeofday") {
    result = syscall(SYS_gettimeofday, kNoMemory, nullptr);
  } else if (call == "time") {
    result = syscall(SYS_time, kNoMemory) == -1 ? -1 : 0;
  } else if (call == "select") {
    result = syscall(SYS_select, 0, nullptr, nullptr, nullptr, kNoMemory);
  } else if (call == "pselect6") {
    result = syscall(SYS_pselect6, 0, nullptr, nullptr, nullptr, kNoMemory, nullptr);
  } else if (call == "ppoll") {
    result = syscall(SYS_ppoll, nullptr, 0, kNoMemory, nullptr, 8);
  }
  print_result(call.c_str(), result);
}

void on_signal(int) {}

// A sleep that a signal ends: the thread beside it computes, so the
// virtual clock cannot jump to the sleep's end, then signals.
void interrupted_sleep(long long us) {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGUSR1, &action, nullptr);
  const pthread_t sleeper = pthread_self();
  std::thread signaller([sleeper] {
    timespec start{};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &start);
    do {
      clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    } while ((now.tv_sec - start.tv_sec) * kNsPerSecond + (now.tv_nsec - start.tv_nsec) <
             100'000'000);
    pthread_kill(sleeper, SIGUSR1);
  });
  const timespec asked = timespec_of_us(us);
  timespec left{};
  const int result = nanosleep(&asked, &left);
  print_result("nanosleep", result);
  const std::int64_t left_ns = std::int64_t{left.tv_sec} * kNsPerSecond + left.tv_nsec;
  // Virtual time may not have moved before the signal came.
  std::printf("left %s\n", left_ns > 0 && left_ns <= us * 1000 ? "at most asked" : "wrong");
  signaller.join();
}

struct Program {
  int argc;
  char** argv;
  std::map<std::string, std::int64_t> marks;
  std::vector<std::thread> threads;
};

int run_steps(Program& program, int first, int last);

// The index of the "end" that closes the block opened at first.
int block_end(const Program& program, int first) {
  int depth = 0;
  for (int i = first; i < program.argc; ++i) {
    const std::string step = program.argv[i];
    if (step == "bg" || step == "fork") {
      ++depth;
    } else if (step == "end" && --depth == 0) {
      return i;
    }
  }
  return program.argc;
}

bool run_wait(const std::string& step, const char* arg) {
  const long long value = arg != nullptr ? number(arg) : 0;
  const timespec ts = timespec_of_us(value);
  timeval tv{static_cast<time_t>(value / 1'000'000), static_cast<suseconds_t>(value % 1'000'000)};
  if (step == "sleep") {
    nanosleep(&ts, nullptr);
  } else if (step == "select") {
    select(0, nullptr, nullptr, nullptr, &tv);
  } else if (step == "pselect") {
    pselect(0, nullptr, nullptr, nullptr, &ts, nullptr);
  } else if (step == "ppoll") {
    ppoll(nullptr, 0, &ts, nullptr);
  } else if (step == "poll") {
    poll(nullptr, 0, static_cast<int>(value));
  } else if (step == "selectfd") {
    select_on_empty_pipe(value);
  } else if (step == "busy") {
    busy_for(value);
  } else if (step == "interrupted") {
    interrupted_sleep(value);
  } else {
    return false;
  }
  return true;
}

// The steps that make one system call with raw arguments and print its result.
int run_raw_call(const std::string& step, char** args) {
  if (step == "clockerr") {
    const timespec ts{static_cast<time_t>(number(args[2])), static_cast<long>(number(args[3]))};
    print_result("clock_nanosleep",
                 syscall(SYS_clock_nanosleep, number(args[0]), number(args[1]), &ts, nullptr));
    return 4;
  }
  if (step == "nserr" || step == "ppollerr") {
    const timespec ts{static_cast<time_t>(number(args[0])), static_cast<long>(number(args[1]))};
    print_result(step.c_str(), step == "nserr" ? syscall(SYS_nanosleep, &ts, nullptr)
                                               : syscall(SYS_ppoll, nullptr, 0, &ts, nullptr, 8));
    return 2;
  }
  if (step == "selecterr") {
    timeval tv{static_cast<time_t>(number(args[1])), static_cast<suseconds_t>(number(args[2]))};
    print_result("select", syscall(SYS_select, number(args[0]), nullptr, nullptr, nullptr, &tv));
    return 3;
  }
  if (step == "gettime") {
    timespec ts{};
    print_result("clock_gettime", syscall(SYS_clock_gettime, number(args[0]), &ts));
    return 1;
  }
  if (step == "efault") {
    efault(args[0]);
    return 1;
  }
  return -1;
}

int run_steps(Program& program, int first, int last) {
  for (int i = first; i < last; ++i) {
    const std::string step = program.argv[i];
    char** args = program.argv + i + 1;
    int used = 0;
    if (step == "on" || step == "off") {
      outb_control(step == "on" ? 0x10 : 0x00);
    } else if (run_wait(step, args[0])) {
      used = 1;
    } else if (step == "mark") {
      program.marks[args[0]] = read_named_clock(args[0]);
      used = 1;
    } else if (step == "elapsed") {
      std::printf(
          "%s = %lld\n", args[0],
          static_cast<long long>((read_named_clock(args[0]) - program.marks[args[0]]) / 1000));
      used = 1;
    } else if (step == "until") {
      const std::int64_t at = program.marks[args[0]] + number(args[1]) * 1000;
      const timespec ts{static_cast<time_t>(at / kNsPerSecond),
                        static_cast<long>(at % kNsPerSecond)};
      clock_nanosleep(clock_id_of(args[0]), TIMER_ABSTIME, &ts, nullptr);
      used = 2;
    } else if (step == "bg" || step == "fork") {
      const int end = block_end(program, i);
      std::fflush(stdout);
      if (step == "bg") {
        program.threads.emplace_back([&program, i, end] { run_steps(program, i + 1, end); });
      } else if (fork() == 0) {
        run_steps(program, i + 1, end);
        std::fflush(stdout);
        _exit(0);
      }
      used = end - i;
    } else if (step == "join") {
      for (std::thread& thread : program.threads) {
        thread.join();
      }
      program.threads.clear();
    } else if (step == "wait") {
      while (wait(nullptr) > 0) {
      }
    } else if (step == "readblock") {
      block_reading();
    } else if (step == "reads") {
      timespec ts{};
      for (long long n = number(args[0]); n > 0; --n) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
      }
      used = 1;
    } else if ((used = run_raw_call(step, args)) < 0) {
      std::fprintf(stderr, "time-probe: unknown step '%s'\n", step.c_str());
      return 98;
    }
    std::fflush(stdout);
    i += used;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Program program{argc, argv, {}, {}};
  const int status = run_steps(program, 1, argc);
  for (std::thread& thread : program.threads) {
    thread.join();
  }
  return status;
}
