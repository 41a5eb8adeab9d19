// SPDX-License-Identifier: MIT
// Register map of the cash drawer controller at x86 I/O port 0x482.
//
// This is the one description of the controller in the project: the tester
// drives these registers and the simulator models them. The four values a
// technician may have to match to the hardware come from the build
// (CDBOX_DRAWER2_CMD and friends); everything else is fixed.
#pragma once

#include <cstdint>

#ifndef CDBOX_DRAWER2_CMD
#define CDBOX_DRAWER2_CMD 0x20
#endif
#ifndef CDBOX_BOTH_CMD
#define CDBOX_BOTH_CMD 0x30
#endif
#ifndef CDBOX_DRAWER1_OPEN_BIT
#define CDBOX_DRAWER1_OPEN_BIT 0x08
#endif
#ifndef CDBOX_DRAWER2_OPEN_BIT
#define CDBOX_DRAWER2_OPEN_BIT 0x04
#endif

// Control register: command bytes are written here.
constexpr std::uint16_t CDBoxCtlIO = 0x482;
// Status register: the same port, read.
constexpr std::uint16_t CDBoxStsIO = 0x482;

// The controller's port range, for which access is requested.
constexpr std::uint16_t CDBoxPortFirst = 0x482;
constexpr unsigned CDBoxPortCount = 3;
constexpr std::uint16_t CDBoxPortLast = CDBoxPortFirst + CDBoxPortCount - 1;

// I/O privilege level asked of iopl(2).
constexpr int CDBoxIOPL = 3;

// Command bytes: each set bit energizes one drawer's solenoid.
constexpr std::uint8_t CDBoxDrawer1CMD = 0x10;
constexpr std::uint8_t CDBoxDrawer2CMD = CDBOX_DRAWER2_CMD;
constexpr std::uint8_t CDBoxBothCMD = CDBOX_BOTH_CMD;
// Written at the end of every pulse: no solenoid energized.
constexpr std::uint8_t CDBoxRestValue = 0x00;

// Status bits: set while the drawer's sensor reports it open.
constexpr std::uint8_t CDBoxDrawer1OpenBit = CDBOX_DRAWER1_OPEN_BIT;
constexpr std::uint8_t CDBoxDrawer2OpenBit = CDBOX_DRAWER2_OPEN_BIT;

// How long a pulse holds the command byte, in microseconds.
constexpr unsigned CDBoxHoldMicroseconds = 300000;

static_assert(CDBOX_DRAWER2_CMD > 0 && CDBOX_DRAWER2_CMD <= 0xff,
              "drawer 2 command must be a byte");
static_assert(CDBOX_BOTH_CMD > 0 && CDBOX_BOTH_CMD <= 0xff, "both-drawers command must be a byte");
static_assert(CDBOX_DRAWER1_OPEN_BIT > 0 && CDBOX_DRAWER1_OPEN_BIT <= 0xff,
              "drawer 1 sensor bit must be a byte");
static_assert(CDBOX_DRAWER2_OPEN_BIT > 0 && CDBOX_DRAWER2_OPEN_BIT <= 0xff,
              "drawer 2 sensor bit must be a byte");
