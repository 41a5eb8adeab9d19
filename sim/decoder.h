// SPDX-License-Identifier: MIT
// Decoder for the x86 port instructions a program may execute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace cdbox::sim {

// The architecture's limit on the length of one instruction.
constexpr std::size_t kMaxInstructionLength = 15;

enum class PortDirection { In, Out };

enum class DecodeStatus {
  Port,        // IN or OUT with an immediate or DX port: emulated
  StringPort,  // INS or OUTS, with or without REP: not emulated
  NotPort,     // anything else, or too few bytes to tell
};

struct PortInstruction {
  PortDirection direction = PortDirection::In;
  unsigned width = 1;         // bytes moved: 1, 2 or 4
  bool port_in_dx = false;    // port taken from DX, else from imm_port
  std::uint8_t imm_port = 0;  // port for the imm8 forms
  std::size_t length = 0;     // instruction length, prefixes included
};

struct Decoded {
  DecodeStatus status = DecodeStatus::NotPort;
  PortInstruction insn;
};

// Decodes the instruction at the start of code. long_mode says whether the
// process runs 64-bit code, where 0x40-0x4f are REX prefixes.
Decoded decode_port_instruction(std::span<const std::uint8_t> code, bool long_mode);

}  // namespace cdbox::sim
