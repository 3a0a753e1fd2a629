// What follows D on a command line, as the steps of a dial. Host only.
#pragma once

#include <string>
#include <vector>

namespace sim {
namespace modem {

struct DialStep {
  enum class Kind { Digits, Pause, WaitDialTone };
  Kind kind;
  int digits = 0;      // Digits: how many
  bool pulse = false;  // Digits: pulse (P) rather than tone (T)
  bool initial = false;  // WaitDialTone: the one on going off hook, blind below X2 and at X3
};

struct DialString {
  std::vector<DialStep> steps;
  std::string number;          // the digits dialled (0-9, *, #, A-D), the far end's key
  bool commandAfter = false;   // ended with ';': back to command mode once dialled
};

// False for a character a dial string may not hold, or a ';' before its end.
// Formatting characters (- ( )) are skipped.
bool ParseDialString(const std::string &text, bool pulse, DialString *out);

}  // namespace modem
}  // namespace sim
