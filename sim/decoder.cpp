// SPDX-License-Identifier: MIT
#include "sim/decoder.h"

namespace cdbox::sim {
namespace {

bool is_legacy_prefix(std::uint8_t byte) {
  switch (byte) {
    case 0x26:
    case 0x2e:
    case 0x36:
    case 0x3e:  // segment overrides
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:  // operand and address size
    case 0xf0:
    case 0xf2:
    case 0xf3:  // lock, repne, rep
      return true;
    default:
      return false;
  }
}

}  // namespace

Decoded decode_port_instruction(std::span<const std::uint8_t> code, bool long_mode) {
  Decoded result;
  bool operand_size_16 = false;
  std::size_t at = 0;
  const std::size_t limit =
      code.size() < kMaxInstructionLength ? code.size() : kMaxInstructionLength;

  // Prefixes in any order; a REX byte counts only when the opcode follows it
  // at once, as the CPU ignores a REX that another prefix comes after.
  bool rex_w = false;
  while (at < limit) {
    const std::uint8_t byte = code[at];
    if (is_legacy_prefix(byte)) {
      operand_size_16 = operand_size_16 || byte == 0x66;
      rex_w = false;
    } else if (long_mode && (byte & 0xf0) == 0x40) {
      rex_w = (byte & 0x08) != 0;
    } else {
      break;
    }
    ++at;
  }
  if (at >= limit) {
    return result;
  }

  const std::uint8_t opcode = code[at++];
  PortInstruction& insn = result.insn;
  // IN and OUT move at most 32 bits: REX.W makes them 32-bit, whatever 0x66
  // says.
  const unsigned wide = operand_size_16 && !rex_w ? 2 : 4;
  switch (opcode) {
    case 0x6c:
    case 0x6d:
    case 0x6e:
    case 0x6f:
      result.status = DecodeStatus::StringPort;
      insn.length = at;
      return result;
    case 0xe4:
    case 0xe5:
    case 0xe6:
    case 0xe7:
      if (at >= limit) {
        return result;
      }
      insn.imm_port = code[at++];
      break;
    case 0xec:
    case 0xed:
    case 0xee:
    case 0xef:
      insn.port_in_dx = true;
      break;
    default:
      return result;
  }
  insn.direction = (opcode & 0x02) != 0 ? PortDirection::Out : PortDirection::In;
  insn.width = (opcode & 0x01) != 0 ? wide : 1;
  insn.length = at;
  result.status = DecodeStatus::Port;
  return result;
}

}  // namespace cdbox::sim
