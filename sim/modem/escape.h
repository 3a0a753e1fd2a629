// Recognising the escape from data mode: the escape character (S2) three
// times, with a guard time (S12) of silence before, each within a guard time
// of the one before, and a guard time of silence after. Host only.
#pragma once

#include <cstdint>

namespace sim {
namespace modem {

class EscapeDetector {
 public:
  // Data mode began at nowMs: that counts as the last byte.
  void Start(uint64_t nowMs);
  // A byte the host sent in data mode. Returns the time at which the escape
  // takes effect unless another byte comes first, 0 for none. A guard time
  // of 0 takes no timing into account: the third character escapes at once.
  // An escape character above 127 disables the escape.
  uint64_t Byte(uint8_t byte, uint64_t nowMs, int escapeChar, uint64_t guardMs);
  void Cancel();

 private:
  uint64_t lastByteMs_ = 0;
  int count_ = 0;
};

}  // namespace modem
}  // namespace sim
