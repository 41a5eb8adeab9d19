// SPDX-License-Identifier: MIT
// The test menu: the program from start-up to its exit status.
#pragma once

// Exit statuses of cdbox-test.
constexpr int CDBoxExitOk = 0;
constexpr int CDBoxExitFailure = 1;

// Raises the I/O privilege and runs menu passes until a key ends the tool.
// Returns the exit status.
int run_drawer_test();
