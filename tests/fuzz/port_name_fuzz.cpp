// The "PortName" value of the device's hardware key as an INF or a user may
// have left it: any bytes, any length, any registry type. The driver must
// start on a name it takes, or on its default, or fail the start cleanly,
// and never read outside the value.
//
// Input: the type byte (0-11 as REG_*; with bit 7 set a raw 32-bit type
// follows), then the value's data.
#include <cstdint>
#include <vector>

#include "sim/kernel/registry.h"
#include "sim/usb/device.h"
#include "support/fuzz_input.h"
#include "support/fuzz_world.h"
#include "support/port_app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t first = in.Byte();
  ULONG type = (first & 0x80) ? in.U32() : ULONG(first % 12);
  std::vector<uint8_t> value = in.Rest();

  sim::WorldOptions options = fuzz::Options();
  options.beforeEnumerate = [&](sim::usb::Device *modem) {
    if (!sim::registry::SetDeviceValue(modem->Pdo(), u"PortName", type, value.data(), ULONG(value.size())))
      fuzz::Fail("the hardware key did not take the value");
  };
  sim::World world(options);
  world.Plug();
  fuzz::CloseOrAbort(world);
  return 0;
}
