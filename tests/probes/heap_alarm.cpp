// SPDX-License-Identifier: MIT
// Preloaded into a program under test: reports on standard error every heap
// allocation made after the program's libraries are set up.
#include <dlfcn.h>
#include <unistd.h>

#include <cstddef>

namespace {

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);

MallocFn real_malloc = nullptr;
CallocFn real_calloc = nullptr;
ReallocFn real_realloc = nullptr;
FreeFn real_free = nullptr;
bool resolving = false;
bool armed = false;

// dlsym may allocate while the real allocator is being looked up; those
// few bytes come from here and are never freed.
alignas(16) char bootstrap[4096];
std::size_t bootstrap_used = 0;

void* bootstrap_alloc(std::size_t size) {
  size = (size + 15) & ~std::size_t{15};
  if (bootstrap_used + size > sizeof bootstrap) {
    return nullptr;
  }
  void* block = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return block;
}

bool from_bootstrap(void* ptr) {
  return static_cast<char*>(ptr) >= bootstrap &&
         static_cast<char*>(ptr) < bootstrap + sizeof bootstrap;
}

void resolve() {
  if (real_malloc != nullptr || resolving) {
    return;
  }
  resolving = true;
  real_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
  real_calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
  real_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
  real_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
  resolving = false;
}

void alarm_once() {
  if (armed) {
    armed = false;
    static const char kText[] = "heap-alarm: heap allocation\n";
    [[maybe_unused]] ssize_t n = write(2, kText, sizeof kText - 1);
  }
}

// The lookups are done before arming, so only the program's own
// allocations count.
__attribute__((constructor)) void arm() {
  resolve();
  armed = true;
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
  resolve();
  if (real_malloc == nullptr) {
    return bootstrap_alloc(size);
  }
  alarm_once();
  return real_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  resolve();
  if (real_calloc == nullptr) {
    return bootstrap_alloc(count * size);  // static memory: zeroed already
  }
  alarm_once();
  return real_calloc(count, size);
}

extern "C" void* realloc(void* ptr, std::size_t size) {
  resolve();
  alarm_once();
  return real_realloc(ptr, size);
}

extern "C" void free(void* ptr) {
  if (ptr != nullptr && !from_bootstrap(ptr)) {
    resolve();
    real_free(ptr);
  }
}
