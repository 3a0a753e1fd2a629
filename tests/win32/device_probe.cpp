#include "win32/device_probe.h"

#include "driver/driver.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"

namespace probe {

PortSettings Settings(sim::World &world) {
  DEVICE_EXTENSION *ext = world.Extension();
  PortSettings s;
  s.baudRate = ext->BaudRate;
  s.stopBits = ext->LineControl.StopBits;
  s.parity = ext->LineControl.Parity;
  s.wordLength = ext->LineControl.WordLength;
  s.eofChar = ext->SpecialChars.EofChar;
  s.errorChar = ext->SpecialChars.ErrorChar;
  s.breakChar = ext->SpecialChars.BreakChar;
  s.eventChar = ext->SpecialChars.EventChar;
  s.xonChar = ext->SpecialChars.XonChar;
  s.xoffChar = ext->SpecialChars.XoffChar;
  s.controlHandShake = ext->HandFlow.ControlHandShake;
  s.flowReplace = ext->HandFlow.FlowReplace;
  s.xonLimit = ext->HandFlow.XonLimit;
  s.xoffLimit = ext->HandFlow.XoffLimit;
  s.waitMask = ext->WaitMask;
  s.queueIn = ext->QueueSize.InSize;
  s.queueOut = ext->QueueSize.OutSize;
  s.lineState = ext->LineState;
  return s;
}

int32_t QueuedReads(sim::World &world) { return world.Extension()->ReadQueue.Count; }

uint32_t DeviceState(sim::World &world) { return world.Extension()->DeviceState; }

void SetDeviceState(sim::World &world, uint32_t state) { world.Extension()->DeviceState = state; }

uint32_t BulkOutCount(sim::World &world) { return world.Modem()->Count(sim::usb::RequestKind::BulkOut); }

}  // namespace probe
