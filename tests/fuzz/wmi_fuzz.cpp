// WMI requests as a consumer makes them through the system's WMI service:
// any block GUID, instance name, item or method id, data of any size, the
// service's first buffer of any size. The driver's WMI callbacks (through the
// WMI library) must answer or refuse each; the machine's close finds no
// fault and no leak.
//
// Input: up to 16 requests, each an operation byte and its fields.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <wdm.h>

#include "registration/wmi.h"
#include "sim/kernel/wmi.h"
#include "support/fuzz_input.h"
#include "support/fuzz_world.h"

namespace {

// {BBA21300-6DD3-11D2-B844-00C04FAD5171}, the driver's block, and a neighbour.
const GUID kBlock = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
const GUID kOtherBlock = {0xBBA21301, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

const size_t kMaxRequests = 16;

GUID GuidFrom(fuzz::Input &in, uint8_t op) {
  if ((op & 0x30) == 0x00 || (op & 0x30) == 0x10) return kBlock;
  if ((op & 0x30) == 0x20) return kOtherBlock;
  GUID g;
  std::vector<uint8_t> bytes = in.Bytes(sizeof g);
  bytes.resize(sizeof g);
  std::memcpy(&g, bytes.data(), sizeof g);
  return g;
}

// The instance's own name, mostly; otherwise it with the index changed, or any bytes.
std::string NameFrom(fuzz::Input &in, uint8_t op, const std::string &own) {
  if (!(op & 0x40)) return own;
  uint8_t how = in.Byte();
  if (how & 1) return own.substr(0, own.size() - 1) + char('0' + (how >> 1) % 10);
  std::vector<uint8_t> bytes = in.Bytes(how >> 1);
  return std::string(bytes.begin(), bytes.end());
}

std::string OwnInstance(PDEVICE_OBJECT fdo) {
  sim::wmi::Registration reg;
  if (sim::wmi::RegInfo(fdo, &reg) != STATUS_SUCCESS || reg.guids.size() != 1 ||
      reg.guids[0].instanceNames.size() != 1)
    fuzz::Fail("the device did not register its one block");
  return reg.guids[0].instanceNames[0];
}

void Ask(PDEVICE_OBJECT fdo, fuzz::Input &in) {
  const std::string own = OwnInstance(fdo);
  for (size_t i = 0; i < kMaxRequests && !in.Empty(); ++i) {
    uint8_t op = in.Byte();
    GUID guid = GuidFrom(in, op);
    std::string name = NameFrom(in, op, own);
    switch (op & 0x8F) {
      case 0: {
        std::vector<sim::wmi::Instance> all;
        sim::wmi::QueryAllData(guid, &all);
        break;
      }
      case 1: {
        std::vector<UCHAR> data;
        sim::wmi::QuerySingleInstance(guid, name, &data);
        break;
      }
      case 2: sim::wmi::SetSingleInstance(guid, name, in.Bytes(in.Byte())); break;
      case 3: {
        ULONG item = (op & 0x80) ? in.U32() : in.Byte() & 3;
        sim::wmi::SetSingleItem(guid, name, item, in.Bytes(in.Byte()));
        break;
      }
      case 4: {
        std::vector<UCHAR> out;
        sim::wmi::ExecuteMethod(guid, name, in.U32(), in.Bytes(in.Byte()), &out);
        break;
      }
      case 5: sim::wmi::EnableEvents(guid, (in.Byte() & 1) != 0); break;
      case 6: sim::wmi::EnableCollection(guid, (in.Byte() & 1) != 0); break;
      case 7: sim::wmi::SetFirstBufferSize(in.U16()); break;
      default: {
        sim::wmi::Registration reg;
        sim::wmi::RegInfo(fdo, &reg);
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  WmiSetting = 10;  // the image stays loaded between inputs; each starts from a fresh load's value
  sim::World world(fuzz::Options());
  if (world.Plug() != 0) fuzz::Fail("the modem did not start");
  world.Run([&] { Ask(world.Fdo(), in); });
  fuzz::CloseOrAbort(world);
  return 0;
}
