// SPDX-License-Identifier: MIT
#include "sim/auxv.h"

#include <elf.h>

#include <vector>

#include "sim/tracee.h"

namespace cdbox::sim {
namespace {

// Far more than a stack's argument and environment pointers can take.
constexpr std::size_t kMaxWords = 1 << 20;
constexpr std::size_t kChunkWords = 512;

}  // namespace

AuxvScan scan_auxv(std::span<const std::uint64_t> words) {
  if (words.empty() || words[0] >= words.size()) {
    return {};
  }
  // argc, argv[] and its NULL, envp[] and its NULL, then (type, value) pairs.
  std::size_t at = words[0] + 2;
  while (at < words.size() && words[at] != 0) {
    ++at;
  }
  AuxvScan scan;
  for (++at; at + 1 < words.size(); at += 2) {
    if (words[at] == AT_NULL) {
      scan.complete = true;
      return scan;
    }
    if (words[at] == AT_SYSINFO_EHDR) {
      scan.vdso_index = at;
    }
  }
  return {};
}

bool hide_vdso(pid_t tid, std::uint64_t stack_pointer) {
  std::vector<std::uint64_t> words;
  while (words.size() < kMaxWords) {
    const std::size_t have = words.size();
    words.resize(have + kChunkWords);
    const std::size_t got =
        read_memory(tid, stack_pointer + have * sizeof(std::uint64_t),
                    std::span(reinterpret_cast<std::uint8_t*>(words.data() + have),
                              kChunkWords * sizeof(std::uint64_t)));
    words.resize(have + got / sizeof(std::uint64_t));
    const AuxvScan scan = scan_auxv(words);
    if (scan.complete && !scan.vdso_index) {
      return true;
    }
    if (scan.complete) {
      const std::uint64_t ignore = AT_IGNORE;
      return write_memory(tid, stack_pointer + *scan.vdso_index * sizeof(std::uint64_t),
                          std::span(reinterpret_cast<const std::uint8_t*>(&ignore), sizeof ignore));
    }
    if (got < kChunkWords * sizeof(std::uint64_t)) {
      return false;
    }
  }
  return false;
}

}  // namespace cdbox::sim
