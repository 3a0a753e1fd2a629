// A look into our device's record for tests written with <windows.h>, which
// cannot include the driver's headers beside it.
#pragma once

#include <cstdint>

namespace sim {
class World;
}

namespace probe {

struct PortSettings {
  uint32_t baudRate;
  uint8_t stopBits, parity, wordLength;
  uint8_t eofChar, errorChar, breakChar, eventChar, xonChar, xoffChar;
  uint32_t controlHandShake, flowReplace;
  int32_t xonLimit, xoffLimit;
  uint32_t waitMask;
  uint32_t queueIn, queueOut;
  uint16_t lineState;
};

PortSettings Settings(sim::World &world);
int32_t QueuedReads(sim::World &world);
uint32_t DeviceState(sim::World &world);
void SetDeviceState(sim::World &world, uint32_t state);
// Bulk-OUT transfers the modem has seen, and their total length.
uint32_t BulkOutCount(sim::World &world);

}  // namespace probe
