#include "win32/interface_helper.h"

#include <cstring>

#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"

namespace probe {

int EnableInterface(sim::World &world, const void *interfaceClass, bool enable) {
  GUID g;
  memcpy(&g, interfaceClass, sizeof g);
  UNICODE_STRING name{};
  NTSTATUS status = IoRegisterDeviceInterface(world.Modem()->Pdo(), &g, nullptr, &name);
  if (!NT_SUCCESS(status)) return status;
  status = IoSetDeviceInterfaceState(&name, enable ? TRUE : FALSE);
  RtlFreeUnicodeString(&name);
  return status;
}

}  // namespace probe
