// Device interfaces and properties of the bus's PDO: the names Windows
// forms, the statuses of enabling and disabling, the link to the PDO, and
// the property length rules.
#include "sim/kernel/internal.h"
#include "usb/usb_harness.h"

using namespace usbtest;

namespace {

const GUID kClass = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const GUID kOtherClass = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

std::u16string Text(const UNICODE_STRING &s) {
  return std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

// A device object that is no PDO: a function driver's own.
struct NonPdo {
  NonPdo() {
    driver = sim::internal::CreateDriverObject(L"\\Driver\\fdotest");
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  }
  ~NonPdo() {
    IoDeleteDevice(device);
    sim::internal::UnloadDriver(driver);
  }
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

TEST(DeviceInterface, RegisteredOnThePdoUnderTheNameWindowsForms) {
  RunClean(1, [] {
    PDEVICE_OBJECT pdo = sim::usb::Plug()->Pdo();
    UNICODE_STRING first{}, again{}, other{};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kClass, nullptr, &first));
    EXPECT_EQ("\\??\\USB#Vid_1234&Pid_5678#5&0&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", Narrow(Text(first)));
    EXPECT_EQ(first.Length + sizeof(WCHAR), first.MaximumLength);
    EXPECT_EQ(0, first.Buffer[first.Length / sizeof(WCHAR)]);
    // The same PDO and class: the same instance, a string of its own.
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kClass, nullptr, &again));
    EXPECT_EQ(Text(first), Text(again));
    EXPECT_NE(first.Buffer, again.Buffer);
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(sim::usb::Plug()->Pdo(), &kClass, nullptr, &other));
    EXPECT_NE(Text(first), Text(other));
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&other);

    NonPdo fdo;
    UNICODE_STRING none{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(fdo.device, &kClass, nullptr, &none));
    EXPECT_EQ(nullptr, none.Buffer);
    WCHAR bad[] = L"a\\b";
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, bad);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(pdo, &kClass, &reference, &none));
  });
}

TEST(DeviceInterface, EnablingLinksThePdoAndDisablingUndoesIt) {
  RunClean(1, [] {
    PDEVICE_OBJECT pdo = sim::usb::Plug()->Pdo();
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name));
    std::u16string link = Text(name);
    std::vector<WCHAR> path(link.begin(), link.end());
    path.push_back(0);
    EXPECT_EQ(nullptr, sim::internal::LookupDevice(path.data()));
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(kClass).empty());

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&name, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_EQ(pdo, sim::internal::LookupDevice(path.data()));
    EXPECT_EQ(std::vector<std::u16string>{link}, sim::EnabledDeviceInterfaces(kClass));
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(kOtherClass).empty());
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&name, TRUE));

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, FALSE));
    EXPECT_EQ(nullptr, sim::internal::LookupDevice(path.data()));
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(kClass).empty());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&name, FALSE));

    WCHAR unknown[] = L"\\??\\USB#Vid_1234&Pid_5678#5&0&0&9#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    UNICODE_STRING stranger;
    RtlInitUnicodeString(&stranger, unknown);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&stranger, TRUE));
    RtlFreeUnicodeString(&name);
  });
}

TEST(DeviceInterface, DeletingThePdoDisablesWhatWasLeftEnabled) {
  RunClean(1, [] {
    sim::usb::Device *device = sim::usb::Plug();
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(device->Pdo(), &kClass, nullptr, &name));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
    device->DeletePdo();
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(kClass).empty());
    std::u16string link = Text(name);
    std::vector<WCHAR> path(link.begin(), link.end());
    path.push_back(0);
    EXPECT_EQ(nullptr, sim::internal::LookupDevice(path.data()));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&name, FALSE));
    RtlFreeUnicodeString(&name);
  });
}

TEST(DeviceInterface, ALinkNameNeverFreedIsTheDriversLeak) {
  std::vector<sim::FaultRecord> faults = RunMachine(1, [] {
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(sim::usb::Plug()->Pdo(), &kClass, nullptr, &name));
  });
  ASSERT_EQ(1u, faults.size()) << FaultText(faults);
  EXPECT_EQ(sim::Fault::PoolLeak, faults[0].kind);
}

TEST(DeviceProperty, ThePdoNameWithItsLengthRules) {
  RunClean(1, [] {
    PDEVICE_OBJECT pdo = sim::usb::Plug()->Pdo();
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, 0, nullptr, &needed));
    WCHAR buffer[64];
    ASSERT_LT(needed, sizeof buffer);
    ULONG got = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, needed - 1, buffer, &got));
    EXPECT_EQ(needed, got);
    ASSERT_EQ(STATUS_SUCCESS,
              IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &got));
    EXPECT_EQ(needed, got);
    EXPECT_EQ(0, buffer[got / sizeof(WCHAR) - 1]);
    // The name it gives leads back to the PDO.
    EXPECT_EQ(pdo, sim::internal::LookupDevice(buffer));

    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof buffer, buffer, &got));
    std::u16string ids(reinterpret_cast<const char16_t *>(buffer), got / sizeof(WCHAR));
    EXPECT_EQ(std::u16string(u"USB\\Vid_1234&Pid_5678") + u'\0' + u'\0', ids);
    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof buffer, buffer, &got));
    EXPECT_EQ(std::u16string(u"USB") + u'\0', std::u16string(reinterpret_cast<const char16_t *>(buffer), 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER_2,
              IoGetDeviceProperty(pdo, DEVICE_REGISTRY_PROPERTY(99), sizeof buffer, buffer, &got));

    NonPdo fdo;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoGetDeviceProperty(fdo.device, DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &got));
  });
}

}  // namespace
