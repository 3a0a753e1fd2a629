#include "support/fuzz_world.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

sim::WorldOptions Options(const std::string &model) {
  sim::WorldOptions options;
  options.seed = 1;
  options.model = model;
  options.plugModem = false;
  return options;
}

void CloseOrAbort(sim::World &world) {
  std::vector<std::string> faults = world.Close();
  if (faults.empty()) return;
  for (const std::string &fault : faults) std::fprintf(stderr, "verifier: %s\n", fault.c_str());
  std::abort();
}

void Fail(const std::string &what) {
  std::fprintf(stderr, "fuzz target: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz
