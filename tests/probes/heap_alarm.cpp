// Preloaded into a program under test: reports on standard error every heap
// allocation made after the program's libraries are set up.
#include <dlfcn.h>
#include <unistd.h>

#include <cstddef>

namespace {

bool armed = false;

void alarm_once() {
  if (armed) {
    armed = false;
    static const char kText[] = "heap-alarm: heap allocation\n";
    [[maybe_unused]] ssize_t n = write(2, kText, sizeof kText - 1);
  }
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void arm() {
  armed = true;
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
  static auto real = next<void* (*)(std::size_t)>("malloc");
  alarm_once();
  return real(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  // dlsym itself may call calloc before the real one is known.
  static bool resolving = false;
  static void* (*real)(std::size_t, std::size_t) = nullptr;
  if (real == nullptr) {
    if (resolving) {
      return nullptr;
    }
    resolving = true;
    real = next<void* (*)(std::size_t, std::size_t)>("calloc");
  }
  alarm_once();
  return real(count, size);
}

extern "C" void* realloc(void* ptr, std::size_t size) {
  static auto real = next<void* (*)(void*, std::size_t)>("realloc");
  alarm_once();
  return real(ptr, size);
}
