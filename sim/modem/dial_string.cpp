#include "sim/modem/dial_string.h"

#include <cctype>
#include <cstring>

namespace sim {
namespace modem {

static bool IsDialDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

bool ParseDialString(const std::string &text, bool pulse, DialString *out) {
  *out = DialString();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = char(std::toupper(static_cast<unsigned char>(text[i])));
    if (IsDialDigit(c)) {
      out->number.push_back(c);
      std::vector<DialStep> &steps = out->steps;
      if (!steps.empty() && steps.back().kind == DialStep::Kind::Digits && steps.back().pulse == pulse) {
        ++steps.back().digits;
      } else {
        DialStep step{DialStep::Kind::Digits};
        step.digits = 1;
        step.pulse = pulse;
        steps.push_back(step);
      }
    } else if (c == 'T' || c == 'P') {
      pulse = c == 'P';
    } else if (c == ',') {
      out->steps.push_back(DialStep{DialStep::Kind::Pause});
    } else if (c == 'W') {
      out->steps.push_back(DialStep{DialStep::Kind::WaitDialTone});
    } else if (c == ';') {
      if (i + 1 != text.size()) return false;
      out->commandAfter = true;
    } else if (std::strchr("-() ", c) == nullptr) {
      return false;
    }
  }
  return true;
}

}  // namespace modem
}  // namespace sim
