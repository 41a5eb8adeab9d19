// SPDX-License-Identifier: MIT
// The screen texts of the test menu.
#pragma once

// Banner: the title and its underline.
extern char APName[];
// Key help.
extern char APHelp[];

// A drawer's state in the status block; both 21 characters wide.
constexpr char CDBoxClosedText[] = "0, Close             ";
constexpr char CDBoxOpenText[] = "1, Open or not exist ";

// The key echo line of the exit, and of every key that is not a pulse key.
constexpr char CDBoxExitText[] = "\nExit now!!";
