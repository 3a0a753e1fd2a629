// The device and configuration descriptors the modem answers, through the
// driver's start: it must fail the start cleanly or start and carry bytes
// over the pipes it selected. No fault, no leak at the machine's close.
//
// Input: a flags byte (bit 0: a device descriptor follows, its length in
// the next byte), then the configuration descriptor (empty: the modem's).
#include <cstdint>
#include <vector>

#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "support/fuzz_input.h"
#include "support/fuzz_world.h"
#include "support/port_app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t flags = in.Byte();
  std::vector<uint8_t> device = sim::usb::ModemDeviceDescriptor();
  if (flags & 1) device = in.Bytes(in.Byte());
  std::vector<uint8_t> configuration = in.Rest();

  sim::WorldOptions options = fuzz::Options();
  options.beforeEnumerate = [&](sim::usb::Device *modem) { modem->SetDescriptors(device, configuration); };
  sim::World world(options);
  if (world.Plug() == 0) {
    world.Run([] {
      fuzz::PortApp port;
      if (!port.Open()) return;
      port.SetTimeouts({0, 0, 50, 0, 200});
      port.Write({'A', 'T', '\r'}, 500);
      port.Read(16, 500);
    });
  }
  fuzz::CloseOrAbort(world);
  return 0;
}
