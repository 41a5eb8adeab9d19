// SPDX-License-Identifier: MIT
// The menu screen.
#pragma once

// Clears the terminal the portable way: 100 newlines, one at a time.
void clrscr();

// Draws one whole menu pass: banner, help, register lines, the status
// register read now, and the status block; then flushes standard output,
// so the screen reaches the terminal in one write. Returns 0, or the errno
// of that write when it failed.
int show_menu_screen();
