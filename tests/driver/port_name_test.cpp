// Publishing the port at AddDevice and withdrawing it at removal: the DOS
// link, the COM-port interface and the SERIALCOMM value, from the
// "PortName" in the device's hardware key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/entry.h"
#include "registration/port_name.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/bringup.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

const char16_t kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::u16string PdoName(PDEVICE_OBJECT pdo) {
  std::vector<WCHAR> name(256);
  ULONG length = 0;
  EXPECT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName,
                                                ULONG(name.size() * 2), name.data(), &length));
  return std::u16string(reinterpret_cast<const char16_t *>(name.data()));
}

// The device map's value for this PDO as a string with its terminator, or "-" when missing.
std::u16string DeviceMapValue(PDEVICE_OBJECT pdo, ULONG *type = nullptr, size_t *bytes = nullptr) {
  sim::registry::Value v;
  if (!sim::registry::QueryValue(kSerialComm, PdoName(pdo), &v)) return u"-";
  if (type != nullptr) *type = v.type;
  if (bytes != nullptr) *bytes = v.data.size();
  return std::u16string(reinterpret_cast<const char16_t *>(v.data.data()), v.data.size() / 2);
}

PDEVICE_OBJECT Linked(const std::u16string &port) {
  std::u16string link = u"\\DosDevices\\" + port;
  return sim::internal::LookupDevice(reinterpret_cast<const WCHAR *>(link.c_str()));
}

void SetPortName(sim::usb::Device *modem, const std::vector<uint8_t> &bytes, ULONG type = REG_SZ) {
  ASSERT_TRUE(sim::registry::SetDeviceValue(modem->Pdo(), u"PortName", type, bytes.data(), ULONG(bytes.size())));
}

std::vector<uint8_t> Utf16(const std::u16string &s, bool terminated = true) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

// The port name AddDevice publishes for a modem whose hardware key holds
// `value` (none when null): checks the link and the device map agree.
std::u16string PublishedName(const std::vector<uint8_t> *value, ULONG type = REG_SZ) {
  std::u16string seen;
  RunOnMachine([&] {
    sim::usb::Device *modem = sim::usb::Plug();
    if (value != nullptr) SetPortName(modem, *value, type);
    TestDevice dev(modem, NotStarted);
    seen = DeviceMapValue(modem->Pdo());
    if (!seen.empty() && seen.back() == 0) seen.pop_back();
    EXPECT_EQ(modem->Pdo(), Linked(seen)) << "the link of the name in the device map";
  });
  return seen;
}

}  // namespace

TEST(PortName, APortNameOfCom3IsLinkedMappedAndTheInterfaceEnabled) {
  RunOnMachine([] {
    sim::usb::Device *modem = sim::usb::Plug();
    SetPortName(modem, Utf16(u"COM3"));
    TestDevice dev(modem, NotStarted);
    EXPECT_EQ(modem->Pdo(), Linked(u"COM3"));
    EXPECT_EQ(nullptr, Linked(u"COM7"));
    ULONG type = 0;
    size_t bytes = 0;
    EXPECT_EQ(std::u16string(u"COM3", 5), DeviceMapValue(modem->Pdo(), &type, &bytes));
    EXPECT_EQ(ULONG(REG_SZ), type);
    EXPECT_EQ(10u, bytes);
    EXPECT_TRUE(sim::registry::KeyIsVolatile(kSerialComm));
    auto interfaces = sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(dev.Ext()->InterfaceName.Buffer),
                             dev.Ext()->InterfaceName.Length / 2),
              interfaces[0]);
  });
}

TEST(PortName, MissingEmptyOverLongOrUnterminatedNamesFallBackToCom7) {
  EXPECT_EQ(u"COM7", PublishedName(nullptr));
  std::vector<uint8_t> empty = Utf16(u"");
  EXPECT_EQ(u"COM7", PublishedName(&empty));
  std::vector<uint8_t> tooLong = Utf16(std::u16string(80, u'A'));  // 162 bytes
  EXPECT_EQ(u"COM7", PublishedName(&tooLong));
  // Exactly the buffer's 160 bytes with no terminator: not cut short.
  std::vector<uint8_t> unterminated = Utf16(std::u16string(80, u'B'), false);
  EXPECT_EQ(u"COM7", PublishedName(&unterminated));
  // 79 characters and the terminator fit exactly.
  std::vector<uint8_t> longest = Utf16(std::u16string(79, u'C'));
  EXPECT_EQ(std::u16string(79, u'C'), PublishedName(&longest));
  // The type is not looked at: the bytes are taken as they are.
  std::vector<uint8_t> binary = Utf16(u"COM9");
  EXPECT_EQ(u"COM9", PublishedName(&binary, REG_BINARY));
}

TEST(PortName, ASecondModemWithTheSameNameKeepsItsOwnDeviceMapValue) {
  RunOnMachine([] {
    sim::usb::Device *first = sim::usb::Plug();
    sim::usb::Device *second = sim::usb::Plug();
    TestDevice one(first, NotStarted);
    TestDevice two(second, NotStarted);
    // The link stays the first's; each has its value and its interface.
    EXPECT_EQ(first->Pdo(), Linked(u"COM7"));
    EXPECT_EQ(std::u16string(u"COM7", 5), DeviceMapValue(first->Pdo()));
    EXPECT_EQ(std::u16string(u"COM7", 5), DeviceMapValue(second->Pdo()));
    EXPECT_EQ(2u, sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size());
  });
}

TEST(PortName, RemovalWithdrawsTheNameTheKeyHoldsThen) {
  RunOnMachine([] {
    sim::usb::Device *modem = sim::usb::Plug();
    SetPortName(modem, Utf16(u"COM3"));
    {
      TestDevice dev(modem, NotStarted);
      // An integrator renames the port while it runs, and links the new name.
      SetPortName(modem, Utf16(u"COM4"));
      std::u16string pdoName = PdoName(modem->Pdo());
      UNICODE_STRING link, target;
      RtlInitUnicodeString(&link, L"\\DosDevices\\COM4");
      RtlInitUnicodeString(&target, reinterpret_cast<const WCHAR *>(pdoName.c_str()));
      ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
    }
    EXPECT_EQ(nullptr, Linked(u"COM4")) << "the name read at removal is withdrawn";
    EXPECT_EQ(modem->Pdo(), Linked(u"COM3")) << "the name made at creation stays";
    EXPECT_EQ(u"-", DeviceMapValue(modem->Pdo()));
    UNICODE_STRING stale;
    RtlInitUnicodeString(&stale, L"\\DosDevices\\COM3");
    IoDeleteSymbolicLink(&stale);
  });
}

TEST(PortName, RemovalWithdrawsLinkValueAndInterface) {
  RunOnMachine([] {
    sim::usb::Device *modem = sim::usb::Plug();
    { TestDevice dev(modem); }
    EXPECT_EQ(nullptr, Linked(u"COM7"));
    EXPECT_EQ(u"-", DeviceMapValue(modem->Pdo()));
    EXPECT_TRUE(sim::registry::Values(kSerialComm).empty());
    // The removal leaves the interface to the Plug and Play manager, which
    // disables it when the bus deletes the device.
    modem->DeletePdo();
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
  });
}

// Every allocation AddDevice makes, failed in turn: AddDevice fails cleanly
// or succeeds, and nothing of a failed one is left behind.
TEST(PortName, AnAllocationFailureAnywhereInAddDeviceLeavesNothingBehind) {
  for (uint64_t k = 1; k <= 12; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    RunOnMachine([k] {
      sim::usb::Device *modem = sim::usb::Plug();
      PDRIVER_OBJECT driver = nullptr;
      ASSERT_EQ(STATUS_SUCCESS,
                sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry,
                                          L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem",
                                          &driver));
      size_t before = sim::pool::Outstanding(USBMODEM_POOL_TAG);
      sim::pool::FailNth(k);
      NTSTATUS status = driver->DriverExtension->AddDevice(driver, modem->Pdo());
      sim::pool::Clear();
      if (NT_SUCCESS(status)) {
        ASSERT_NE(nullptr, modem->Pdo()->AttachedDevice);
        EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(modem->Pdo()->AttachedDevice, IRP_MN_REMOVE_DEVICE));
      } else {
        EXPECT_EQ(nullptr, modem->Pdo()->AttachedDevice);
        EXPECT_EQ(nullptr, Linked(u"COM7"));
        EXPECT_EQ(u"-", DeviceMapValue(modem->Pdo()));
        EXPECT_TRUE(sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
      }
      EXPECT_EQ(before, sim::pool::Outstanding(USBMODEM_POOL_TAG));
      sim::internal::UnloadDriver(driver);
    });
  }
}
