// SPDX-License-Identifier: MIT
// cdbox-sim from command line to exit status.
#pragma once

namespace cdbox::sim {

// Runs the simulator; returns its exit status.
int run_simulator(int argc, char** argv);

}  // namespace cdbox::sim
