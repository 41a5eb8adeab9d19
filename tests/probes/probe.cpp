// SPDX-License-Identifier: MIT
// A program of port instructions and system calls for the simulator's tests.
// Its arguments are steps, run in order; each step prints what it got on
// standard output, so a test can check both the trace and the program's view.
//
//   iopl LEVEL | ioperm FROM COUNT ON    print "= 0" or "= ENAME"
//   in{b,w,l} PORT | in{b,w,l}i          DX or imm8 (port 0x80) forms; print the value
//   inwsplit PORT                         inw whose 0x66 prefix ends an aligned word
//                                         and whose opcode starts the next
//   out{b,w,l} PORT VALUE | out{b,w,l}i VALUE
//   outsb PORT | insb PORT | repoutsb PORT
//   xonly                                 IN AL,DX from port 0x482 in an execute-only
//                                         page; prints the value
//   usleep US | nanosleep US | abssleep US
//   fork                                  the remaining steps run in a child;
//                                         the parent exits with its status
//   thread                                the remaining steps run in a new thread;
//                                         the process then exits with 0
//   leaderexit                            the remaining steps run in a new thread, and
//                                         the main thread ends (pthread_exit) first;
//                                         the process exits with their status
//   daemon                                the remaining steps run in a child; the
//                                         parent exits with 0 at once
//   forkloop                              forks children that exit at once, for ever
//   exec                                  re-executes the probe with the remaining steps
//   untraced                              as fork, by clone(CLONE_UNTRACED)
//   clone3                                clone3(CLONE_UNTRACED); prints the result
//   iopl32 LEVEL                          iopl through the 32-bit entry (int 0x80)
//   ioplraw VALUE                         iopl(2) with a full 64-bit register value
//   block                                 blocks every blockable signal
//   writes N                              N one-byte write(2) calls to /dev/null
//   inloop N PORT                         N "inb %dx, %al" of PORT, printing nothing
//   segvmix N PORT                        N rounds of: inb of PORT, iopl 3, SIGSEGV by
//                                         raise, tkill(2) with an inb of PORT right
//                                         after its syscall instruction, and a CLI (a
//                                         fault that is no port instruction); prints how many
//                                         SIGSEGV its handler saw sent and raised by
//                                         the CPU, and the sum of the values read
//   ownfilter                             stacks a seccomp filter of its own that
//                                         returns SECCOMP_RET_TRACE with other data
//                                         for iopl, ioperm and the sleeps
//   groupsignal SIG                       counts SIG in a handler, sends it to its own
//                                         process group, sleeps 0.2 s; prints the count
//   read                                  reads a line of standard input
//   pid                                   prints the process id
//   uid                                   prints the real and effective user ids
//   caps                                  prints, for each capability set, which of
//                                         RAWIO, PTRACE, MODULE and BOOT it holds (hex)
//   attach PID|parent                     PTRACE_ATTACH to PID (parent: getppid())
//   raise SIG | exit STATUS
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
  } else if (step == "inwsplit") {
    const auto port = static_cast<std::uint16_t>(number(args[0]));
    used = 1;
    std::uint16_t v;
    asm volatile(".balign 8\n\t.fill 7, 1, 0x90\n\tinw %w1, %w0" : "=a"(v) : "Nd"(port));
    value = v;
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

// Bits of CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE and CAP_SYS_BOOT.
constexpr unsigned long long kHardwareCaps =
    (1ULL << 16) | (1ULL << 17) | (1ULL << 19) | (1ULL << 22);

void print_caps() {
  std::ifstream status("/proc/self/status");
  std::string line;
  std::string out = "caps =";
  while (std::getline(status, line)) {
    if (line.starts_with("Cap")) {
      const std::size_t colon = line.find(':');
      const unsigned long long set = std::strtoull(line.c_str() + colon + 1, nullptr, 16);
      char field[64];
      std::snprintf(field, sizeof field, " %s:%llx", line.substr(3, colon - 3).c_str(),
                    set & kHardwareCaps);
      out += field;
    }
  }
  std::printf("%s\n", out.c_str());
}

void attach(const char* target) {
  const pid_t pid =
      std::strcmp(target, "parent") == 0 ? getppid() : static_cast<pid_t>(number(target));
  if (ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) != 0) {
    std::printf("attach = %s\n", strerrorname_np(errno));
    return;
  }
  std::printf("attach = 0\n");
  waitpid(pid, nullptr, __WALL);
  ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
}

void install_own_filter() {
  constexpr unsigned kOtherData = 0x7ff;
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_iopl, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioperm, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_nanosleep, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_nanosleep, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | kOtherData),
  };
  sock_fprog fprog{static_cast<unsigned short>(std::size(program)), program};
  const int result =
      prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
          ? static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog))
          : -1;
  print_result("ownfilter", result);
}

volatile sig_atomic_t signals_seen = 0;

void count_signal(int) {
  signals_seen = signals_seen + 1;
}

void signal_own_group(int sig) {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigaction(sig, &action, nullptr);
  kill(0, sig);
  // Time for a copy forwarded by a tracer to arrive (it would interrupt
  // the sleep, which then goes on for the rest).
  timespec left{0, 200'000'000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  std::printf("groupsignal = %d\n", static_cast<int>(signals_seen));
}

// Only this probe's own steps touch these, one at a time.
sigjmp_buf after_fault;
volatile sig_atomic_t segv_sent = 0;
volatile sig_atomic_t segv_raised = 0;

void count_segv(int /*sig*/, siginfo_t* info, void* /*context*/) {
  if (info->si_code == SI_KERNEL) {
    segv_raised = segv_raised + 1;
    siglongjmp(after_fault, 1);
  }
  segv_sent = segv_sent + 1;
}

void segv_mix(unsigned long rounds, std::uint16_t port) {
  struct sigaction action {};
  action.sa_sigaction = count_segv;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigaction(SIGSEGV, &action, nullptr);
  unsigned long sum = 0;
  for (unsigned long n = 0; n < rounds; ++n) {
    std::uint8_t v;
    asm volatile("inb %w1, %b0" : "=a"(v) : "Nd"(port));
    sum += v;
    iopl(3);
    raise(SIGSEGV);
    // tkill(2) straight before an IN: the signal stops the task with the
    // IN at the instruction pointer, though the IN has not run. (Sent to
    // the thread, as raise does: one sent to the process may go to another
    // thread, and merge with the next before that thread takes it.)
    unsigned long result = 0;
    asm volatile("syscall\n\tinb %w4, %b0"
                 : "=a"(result)
                 : "a"(SYS_tkill), "D"(gettid()), "S"(SIGSEGV), "d"(port)
                 : "rcx", "r11", "memory");
    sum += result & 0xff;
    if (sigsetjmp(after_fault, 1) == 0) {
      asm volatile("cli");
    }
  }
  std::printf("segvmix sent = %d raised = %d sum = %lu\n", static_cast<int>(segv_sent),
              static_cast<int>(segv_raised), sum);
}

[[noreturn]] void fork_for_ever() {
  while (true) {
    const pid_t child = fork();
    if (child == 0) {
      _exit(0);
    }
    waitpid(child, nullptr, 0);
  }
}

// IN AL,DX; RET, run from a page that may be executed but not read.
bool in_from_execute_only_page() {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    return false;
  }
  const unsigned char code[] = {0xec, 0xc3};
  std::memcpy(page, code, sizeof code);
  if (mprotect(page, 4096, PROT_EXEC) != 0) {
    return false;
  }
  unsigned value = 0;
  // Below the red zone, which the call's return address would overwrite.
  asm volatile("sub $128, %%rsp\n\tcall *%1\n\tadd $128, %%rsp"
               : "+a"(value)
               : "r"(page), "d"(0x482)
               : "memory", "cc");
  std::printf("xonly = 0x%x\n", value & 0xff);
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

[[noreturn]] void* run_last_thread_steps(void* arg) {
  auto* steps = static_cast<ThreadSteps*>(arg);
  std::exit(run_steps(steps->argc, steps->argv, steps->first));
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
    } else if (step == "xonly") {
      if (!in_from_execute_only_page()) {
        return 96;
      }
    } else if (step == "usleep" || step == "nanosleep" || step == "abssleep") {
      sleep_for(step.c_str(), static_cast<long>(number(args[0])));
      used = 1;
    } else if (step == "fork" || step == "untraced") {
      std::fflush(stdout);
      const pid_t child =
          step == "fork"
              ? fork()
              : static_cast<pid_t>(syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0, 0, 0, 0));
      if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    } else if (step == "daemon") {
      std::fflush(stdout);
      if (fork() > 0) {
        return 0;
      }
    } else if (step == "forkloop") {
      fork_for_ever();
    } else if (step == "groupsignal") {
      signal_own_group(static_cast<int>(number(args[0])));
      used = 1;
    } else if (step == "read") {
      char line[256];
      if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return 97;
      }
    } else if (step == "thread") {
      std::fflush(stdout);
      ThreadSteps steps{argc, argv, i + 1};
      pthread_t thread;
      pthread_create(&thread, nullptr, run_thread_steps, &steps);
      pthread_join(thread, nullptr);
      return 0;
    } else if (step == "leaderexit") {
      std::fflush(stdout);
      static ThreadSteps steps{argc, argv, i + 1};
      pthread_t thread;
      pthread_create(&thread, nullptr, run_last_thread_steps, &steps);
      pthread_exit(nullptr);
    } else if (step == "iopl32") {
      const long result = iopl_by_int80(static_cast<long>(number(args[0])));
      std::printf("iopl32 = %s\n", result == 0 ? "0" : strerrorname_np(static_cast<int>(-result)));
      used = 1;
    } else if (step == "ioplraw") {
      print_result("ioplraw", static_cast<int>(syscall(SYS_iopl, number(args[0]))));
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
    } else if (step == "segvmix") {
      segv_mix(number(args[0]), static_cast<std::uint16_t>(number(args[1])));
      used = 2;
    } else if (step == "pid") {
      std::printf("pid = %d\n", static_cast<int>(getpid()));
    } else if (step == "clone3") {
      std::fflush(stdout);
      clone_args args{};
      args.flags = CLONE_UNTRACED;
      args.exit_signal = SIGCHLD;
      const long child = syscall(SYS_clone3, &args, sizeof args);
      if (child == 0) {
        _exit(0);
      }
      if (child > 0) {
        waitpid(static_cast<pid_t>(child), nullptr, 0);
      }
      print_result("clone3", child > 0 ? 0 : -1);
    } else if (step == "ownfilter") {
      install_own_filter();
    } else if (step == "uid") {
      std::printf("uid = %d %d\n", static_cast<int>(getuid()), static_cast<int>(geteuid()));
    } else if (step == "caps") {
      print_caps();
    } else if (step == "attach") {
      attach(args[0]);
      used = 1;
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
