// The settings a profile holds: what ATZ restores, &F resets and &W stores.
// Host only.
#pragma once

#include <string>
#include <vector>

#include "sim/modem/s_registers.h"

namespace sim {
namespace modem {

struct Profile {
  bool echo = true;      // E
  bool verbose = true;   // V
  bool quiet = false;    // Q
  int resultLevel = 4;   // X0-X4
  int speaker = 1;       // M0-M3
  int volume = 2;        // L0-L3
  int carrierMode = 1;   // &C0 always on, &C1 follows the carrier
  int dtrMode = 2;       // &D0-&D3
  SRegisters s;

  // "E1 L2 M1 Q0 V1 X4 &C1 &D2" and the registers "S00:000 S01:000 ...".
  std::vector<std::string> Describe() const;
};

}  // namespace modem
}  // namespace sim
