// SPDX-License-Identifier: MIT
#include "sim/simulator.h"

int main(int argc, char** argv) {
  return cdbox::sim::run_simulator(argc, argv);
}
