// SPDX-License-Identifier: MIT
#include "console/texts.h"

char APName[] =
    "\t\tCash Drawer Testing Program\n"
    "\t===========================================\n";

char APHelp[] =
    "\n"
    " - Pass '1' key for open Cash Drawer 1\n"
    " - Pass '2' key for open Cash Drawer 2\n"
    " - Pass '3' key for open both of Cash Drawer 1 and Cash Drawer 2\n"
    " - Pass '0' key for Exit\n";

static_assert(sizeof APName - 1 == 75, "the banner is 75 characters");
static_assert(sizeof APHelp - 1 == 169, "the key help is 169 characters");
static_assert(sizeof CDBoxClosedText - 1 == 21 && sizeof CDBoxOpenText - 1 == 21,
              "both state texts are 21 characters wide");
