#include "sim/modem/identification.h"

#include <cstdio>

namespace sim {
namespace modem {

static const char kFirmware[] = "usbmodem simulated Hayes modem 1.0";

// I1's checksum is over the firmware text, as a real modem's is over its ROM.
static std::string Checksum() {
  unsigned sum = 0;
  for (const char *p = kFirmware; *p; ++p) sum += static_cast<unsigned char>(*p);
  char text[8];
  std::snprintf(text, sizeof(text), "%03u", sum % 256);
  return text;
}

bool Identification(int n, uint32_t connectRate, std::vector<std::string> *lines) {
  switch (n) {
    case 0: *lines = {"56000"}; return true;
    case 1: *lines = {Checksum()}; return true;
    case 2: *lines = {"ROM test passed"}; return true;
    case 3: *lines = {kFirmware}; return true;
    case 4: *lines = {"Hayes command set: E L M Q V X H O A D S I Z &C &D &F &V &W &Y"}; return true;
    case 5: *lines = {"Country 00"}; return true;
    case 6: *lines = {"Data pump: CONNECT " + std::to_string(connectRate)}; return true;
    case 7: *lines = {"Host interface: USB bulk 0x01 out, 0x81 in"}; return true;
    default: return false;
  }
}

}  // namespace modem
}  // namespace sim
