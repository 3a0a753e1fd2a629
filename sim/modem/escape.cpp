#include "sim/modem/escape.h"

namespace sim {
namespace modem {

void EscapeDetector::Start(uint64_t nowMs) {
  lastByteMs_ = nowMs;
  count_ = 0;
}

void EscapeDetector::Cancel() { count_ = 0; }

uint64_t EscapeDetector::Byte(uint8_t byte, uint64_t nowMs, int escapeChar, uint64_t guardMs) {
  uint64_t gap = nowMs - lastByteMs_;
  lastByteMs_ = nowMs;
  bool counts = false;
  if (escapeChar <= 127 && byte == escapeChar) {
    if (count_ == 0) {
      counts = guardMs == 0 || gap >= guardMs;
    } else {
      counts = count_ < 3 && (guardMs == 0 || gap < guardMs);
    }
  }
  if (!counts) {
    count_ = 0;
    // A lone escape character after silence may still begin a sequence.
    if (escapeChar <= 127 && byte == escapeChar && (guardMs == 0 || gap >= guardMs)) count_ = 1;
    return 0;
  }
  ++count_;
  return count_ == 3 ? nowMs + guardMs : 0;
}

}  // namespace modem
}  // namespace sim
