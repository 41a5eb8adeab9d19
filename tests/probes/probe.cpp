// SPDX-License-Identifier: MIT
// A program of port instructions and system calls for the simulator's tests.
// Its arguments are steps, run in order; each step prints what it got on
// standard output, so a test can check both the trace and the program's view.
//
//   iopl LEVEL | ioperm FROM COUNT ON    print "= 0" or "= ENAME"
//   in{b,w,l} PORT | in{b,w,l}i          DX or imm8 (port 0x80) forms; print the value
//   out{b,w,l} PORT VALUE | out{b,w,l}i VALUE
//   outsb PORT | insb PORT | repoutsb PORT
//   usleep US | nanosleep US | abssleep US
//   fork                                  the remaining steps run in a child;
//                                         the parent exits with its status
//   thread                                the remaining steps run in a new thread;
//                                         the process then exits with 0
//   exec                                  re-executes the probe with the remaining steps
//   iopl32 LEVEL                          iopl through the 32-bit entry (int 0x80)
//   block                                 blocks every blockable signal
//   writes N                              N one-byte write(2) calls to /dev/null
//   inloop N PORT                         N "inb %dx, %al" of PORT, printing nothing
//   pid                                   prints the process id
//   raise SIG | exit STATUS
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::uint16_t kImmPort = 0x80;

unsigned long number(const char* text) {
  return std::strtoul(text, nullptr, 0);
}

void print_result(const char* what, int result) {
  std::printf("%s = %s\n", what, result == 0 ? "0" : strerrorname_np(errno));
}

void sleep_for(const char* how, long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  if (std::strcmp(how, "usleep") == 0) {
    usleep(static_cast<useconds_t>(us));
  } else if (std::strcmp(how, "nanosleep") == 0) {
    nanosleep(&ts, nullptr);
  } else {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec until{now.tv_sec + ts.tv_sec, now.tv_nsec + ts.tv_nsec};
    if (until.tv_nsec >= 1000000000) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
  }
}

bool port_in(const std::string& step, char** args, int& used) {
  unsigned value = 0;
  if (step == "inb" || step == "inw" || step == "inl") {
    const auto port = static_cast<std::uint16_t>(number(args[0]));
    used = 1;
    if (step == "inb") {
      std::uint8_t v;
      asm volatile("inb %w1, %b0" : "=a"(v) : "Nd"(port));
      value = v;
    } else if (step == "inw") {
      std::uint16_t v;
      asm volatile("inw %w1, %w0" : "=a"(v) : "Nd"(port));
      value = v;
    } else {
      asm volatile("inl %w1, %k0" : "=a"(value) : "Nd"(port));
    }
  } else if (step == "inbi") {
    std::uint8_t v;
    asm volatile("inb %1, %b0" : "=a"(v) : "i"(kImmPort));
    value = v;
  } else if (step == "inwi") {
    std::uint16_t v;
    asm volatile("inw %1, %w0" : "=a"(v) : "i"(kImmPort));
    value = v;
  } else if (step == "inli") {
    asm volatile("inl %1, %k0" : "=a"(value) : "i"(kImmPort));
  } else {
    return false;
  }
  std::printf("%s = 0x%x\n", step.c_str(), value);
  return true;
}

bool port_out(const std::string& step, char** args, int& used) {
  if (step == "outb" || step == "outw" || step == "outl") {
    const auto port = static_cast<std::uint16_t>(number(args[0]));
    const auto value = static_cast<unsigned>(number(args[1]));
    used = 2;
    if (step == "outb") {
      asm volatile("outb %b0, %w1" : : "a"(value), "Nd"(port));
    } else if (step == "outw") {
      asm volatile("outw %w0, %w1" : : "a"(value), "Nd"(port));
    } else {
      asm volatile("outl %k0, %w1" : : "a"(value), "Nd"(port));
    }
    return true;
  }
  const auto value = static_cast<unsigned>(args[0] != nullptr ? number(args[0]) : 0);
  used = 1;
  if (step == "outbi") {
    asm volatile("outb %b0, %1" : : "a"(value), "i"(kImmPort));
  } else if (step == "outwi") {
    asm volatile("outw %w0, %1" : : "a"(value), "i"(kImmPort));
  } else if (step == "outli") {
    asm volatile("outl %k0, %1" : : "a"(value), "i"(kImmPort));
  } else {
    used = 0;
    return false;
  }
  return true;
}

bool string_io(const std::string& step, char** args, int& used) {
  if (step != "outsb" && step != "insb" && step != "repoutsb") {
    return false;
  }
  const auto port = static_cast<std::uint16_t>(number(args[0]));
  used = 1;
  char buffer[4] = {0x10, 0x10, 0x10, 0x10};
  char* at = buffer;
  unsigned long count = sizeof buffer;
  if (step == "outsb") {
    asm volatile("outsb" : "+S"(at) : "d"(port) : "memory");
  } else if (step == "insb") {
    asm volatile("insb" : "+D"(at) : "d"(port) : "memory");
  } else {
    asm volatile("rep outsb" : "+S"(at), "+c"(count) : "d"(port) : "memory");
  }
  return true;
}

int run_steps(int argc, char** argv, int first);

struct ThreadSteps {
  int argc;
  char** argv;
  int first;
};

void* run_thread_steps(void* arg) {
  auto* steps = static_cast<ThreadSteps*>(arg);
  run_steps(steps->argc, steps->argv, steps->first);
  return nullptr;
}

// iopl through the i386 system call entry, which a 64-bit process can
// still reach.
long iopl_by_int80(long level) {
  long result = 110;  // __NR_iopl of i386
  asm volatile("int $0x80" : "+a"(result) : "b"(level) : "memory");
  return result;
}

int run_steps(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    const std::string step = argv[i];
    char** args = argv + i + 1;
    int used = 0;
    if (step == "iopl") {
      print_result("iopl", iopl(static_cast<int>(number(args[0]))));
      used = 1;
    } else if (step == "ioperm") {
      print_result("ioperm",
                   ioperm(number(args[0]), number(args[1]), static_cast<int>(number(args[2]))));
      used = 3;
    } else if (port_in(step, args, used) || port_out(step, args, used) ||
               string_io(step, args, used)) {
    } else if (step == "usleep" || step == "nanosleep" || step == "abssleep") {
      sleep_for(step.c_str(), static_cast<long>(number(args[0])));
      used = 1;
    } else if (step == "fork") {
      std::fflush(stdout);
      const pid_t child = fork();
      if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    } else if (step == "thread") {
      std::fflush(stdout);
      ThreadSteps steps{argc, argv, i + 1};
      pthread_t thread;
      pthread_create(&thread, nullptr, run_thread_steps, &steps);
      pthread_join(thread, nullptr);
      return 0;
    } else if (step == "iopl32") {
      const long result = iopl_by_int80(static_cast<long>(number(args[0])));
      std::printf("iopl32 = %s\n", result == 0 ? "0" : strerrorname_np(static_cast<int>(-result)));
      used = 1;
    } else if (step == "exec") {
      std::fflush(stdout);
      argv[i] = argv[0];
      execv("/proc/self/exe", argv + i);
      return 99;
    } else if (step == "block") {
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_BLOCK, &all, nullptr);
    } else if (step == "writes") {
      const int fd = open("/dev/null", O_WRONLY);
      for (unsigned long n = number(args[0]); n > 0; --n) {
        [[maybe_unused]] ssize_t w = write(fd, "x", 1);
      }
      close(fd);
      used = 1;
    } else if (step == "inloop") {
      const auto port = static_cast<std::uint16_t>(number(args[1]));
      for (unsigned long n = number(args[0]); n > 0; --n) {
        std::uint8_t v;
        asm volatile("inb %w1, %b0" : "=a"(v) : "Nd"(port));
      }
      used = 2;
    } else if (step == "pid") {
      std::printf("pid = %d\n", static_cast<int>(getpid()));
    } else if (step == "raise") {
      std::fflush(stdout);
      raise(static_cast<int>(number(args[0])));
      used = 1;
    } else if (step == "exit") {
      std::fflush(stdout);
      return static_cast<int>(number(args[0]));
    } else {
      std::fprintf(stderr, "probe: unknown step '%s'\n", step.c_str());
      return 98;
    }
    std::fflush(stdout);
    i += used;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return run_steps(argc, argv, 1);
}
