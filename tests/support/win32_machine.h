// Running a test written as a Win32 program on fresh simulated machines, one
// per scheduler seed. Header only: the kernel's own tests do not link the world.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/world/world.h"
#include "support/seeds.h"

namespace testing_support {

// Builds a machine with the named modem for each seed, runs the scenario on
// it and closes it; a fault of the verifier fails the test. Stops at the
// first failing seed and names it.
inline void ForEachSeed(const std::function<void(sim::World &)> &scenario, const std::string &model = "loopback") {
  for (uint64_t seed : Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with USBMODEM_SEED=" + std::to_string(seed) + ")");
    sim::WorldOptions options;
    options.seed = seed;
    options.model = model;
    sim::World world(options);
    scenario(world);
    for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
    if (::testing::Test::HasFailure()) return;
  }
}

// One machine for a test that does not depend on the interleaving.
inline void OnOneMachine(const std::function<void(sim::World &)> &scenario, const std::string &model = "loopback") {
  sim::WorldOptions options;
  options.seed = Seeds().front();
  options.model = model;
  sim::World world(options);
  scenario(world);
  for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
}

// The program runs as an application on a fresh machine for each seed.
inline void RunOnEachSeed(const std::function<void(sim::World &)> &program, const std::string &model = "loopback") {
  ForEachSeed([&](sim::World &world) { world.Run([&] { program(world); }); }, model);
}

// The program runs as an application on one machine.
inline void RunOnOneMachine(const std::function<void(sim::World &)> &program,
                            const std::string &model = "loopback") {
  OnOneMachine([&](sim::World &world) { world.Run([&] { program(world); }); }, model);
}

}  // namespace testing_support
