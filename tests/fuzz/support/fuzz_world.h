// A fresh simulated machine per fuzz input, on a fixed seed so that an input
// replays exactly; a verifier fault ends the process so that libFuzzer keeps
// the input that caused it.
#pragma once

#include <string>

#include "sim/world/world.h"

namespace fuzz {

// One processor count and seed for every input (USBMODEM_CPUS still applies).
sim::WorldOptions Options(const std::string &model = "loopback");

// Closes the machine; aborts naming every fault the verifier found.
void CloseOrAbort(sim::World &world);

// Aborts with this message (a fault the target itself detected).
[[noreturn]] void Fail(const std::string &what);

}  // namespace fuzz
