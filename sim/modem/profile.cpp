#include "sim/modem/profile.h"

#include <cstdio>

namespace sim {
namespace modem {

std::vector<std::string> Profile::Describe() const {
  char settings[80];
  std::snprintf(settings, sizeof(settings), "E%d L%d M%d Q%d V%d X%d &C%d &D%d", echo ? 1 : 0, volume, speaker,
                quiet ? 1 : 0, verbose ? 1 : 0, resultLevel, carrierMode, dtrMode);
  std::string registers;
  for (int n : SRegisters::Numbers()) {
    char one[16];
    std::snprintf(one, sizeof(one), "%sS%02d:%03d", registers.empty() ? "" : " ", n, s.Get(n));
    registers += one;
  }
  return {settings, registers};
}

}  // namespace modem
}  // namespace sim
