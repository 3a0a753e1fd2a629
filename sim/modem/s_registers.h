// The modem's S-registers: the ones it has, their ranges and factory values.
// Host only.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace sim {
namespace modem {

class SRegisters {
 public:
  SRegisters();  // factory values

  static bool Exists(int n);
  static std::vector<int> Numbers();  // every register, ascending

  int Get(int n) const;  // n must exist
  // False (and no change) for a register the modem lacks or a value out of its range.
  bool Set(int n, int value);

 private:
  std::map<int, int> values_;
};

// The registers by name, for the code that reads them.
enum : int {
  S_RINGS_TO_ANSWER = 0,
  S_RING_COUNT = 1,
  S_ESCAPE_CHAR = 2,
  S_CR = 3,
  S_LF = 4,
  S_BACKSPACE = 5,
  S_BLIND_DIAL_WAIT = 6,    // seconds
  S_CARRIER_WAIT = 7,       // seconds
  S_COMMA_PAUSE = 8,        // seconds
  S_CARRIER_LOSS_WAIT = 10, // tenths of a second
  S_ESCAPE_GUARD = 12,      // fiftieths of a second
};

}  // namespace modem
}  // namespace sim
