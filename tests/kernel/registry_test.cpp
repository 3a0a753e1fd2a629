// The registry: the value layouts and their buffer rules, keys opened and
// created by name, the per-PDO keys, the device map through the Rtl
// routines, volatile keys, and key handles left open or used at raised IRQL.
#include <cstddef>

#include "kernel/io_test_util.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/registry.h"

using namespace io_test;
using sched_test::CountFaults;
using sched_test::DescribeFaults;
using sched_test::Options;
using sched_test::RunExpectingNoFaults;
using sim::Fault;

namespace {

const char16_t kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

UNICODE_STRING Name(const WCHAR *s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

NTSTATUS Open(const WCHAR *path, ACCESS_MASK access, HANDLE *key, HANDLE root = nullptr) {
  UNICODE_STRING name = Name(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwOpenKey(key, access, &oa);
}

NTSTATUS Create(const WCHAR *path, ULONG options, HANDLE *key, ULONG *disposition = nullptr) {
  UNICODE_STRING name = Name(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
}

NTSTATUS Set(HANDLE key, const WCHAR *name, ULONG type, const void *data, ULONG length) {
  UNICODE_STRING n = Name(name);
  return ZwSetValueKey(key, &n, 0, type, const_cast<void *>(data), length);
}

NTSTATUS Query(HANDLE key, const WCHAR *name, KEY_VALUE_INFORMATION_CLASS cls, void *buffer, ULONG length,
               ULONG *result) {
  UNICODE_STRING n = Name(name);
  return ZwQueryValueKey(key, &n, cls, buffer, length, result);
}

// A device object of the bus, known to the PnP manager by its instance path.
PDEVICE_OBJECT MakePdo(Dispatch *d, const char *instance = "USB\\Vid_0572&Pid_1329\\5&0&0&1") {
  PDEVICE_OBJECT pdo = MakeDevice(MakeDriver(L"\\Driver\\usbhub"), d);
  sim::RegisterPhysicalDevice(pdo, instance);
  return pdo;
}

std::u16string U16(const WCHAR *s) { return std::u16string(reinterpret_cast<const char16_t *>(s)); }

TEST(Registry, ValueLayoutsAndTheirBufferRules) {
  RunExpectingNoFaults([] {
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\Test", REG_OPTION_NON_VOLATILE, &key));
    const WCHAR text[] = L"COM7";
    ASSERT_EQ(STATUS_SUCCESS, Set(key, L"Port", REG_SZ, text, sizeof text));
    ULONG n = 0;

    // Partial: the fixed part is 12 bytes, then the data.
    UCHAR buf[128];
    memset(buf, 0xcc, sizeof buf);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, L"Port", KeyValuePartialInformation, buf, 11, &n));
    EXPECT_EQ(12u + sizeof text, n);
    EXPECT_EQ(0xcc, buf[0]);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, L"Port", KeyValuePartialInformation, nullptr, 0, &n));
    EXPECT_EQ(12u + sizeof text, n);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(key, L"Port", KeyValuePartialInformation, buf, 12, &n));
    auto *partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf);
    EXPECT_EQ((ULONG)REG_SZ, partial->Type);
    EXPECT_EQ(sizeof text, partial->DataLength);
    EXPECT_EQ(STATUS_SUCCESS, Query(key, L"port", KeyValuePartialInformation, buf, n, &n));  // names ignore case
    EXPECT_EQ(0, memcmp(partial->Data, text, sizeof text));

    // Full: 20 fixed bytes, the name, the data at a ULONG-aligned offset.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, L"Port", KeyValueFullInformation, buf, 19, &n));
    const ULONG dataOffset = (20 + 8 + 3) & ~3u;
    EXPECT_EQ(dataOffset + sizeof text, n);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(key, L"Port", KeyValueFullInformation, buf, 20, &n));
    auto *full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf);
    EXPECT_EQ(8u, full->NameLength);
    EXPECT_EQ(sizeof text, full->DataLength);
    EXPECT_EQ(dataOffset, full->DataOffset);
    ASSERT_EQ(STATUS_SUCCESS, Query(key, L"Port", KeyValueFullInformation, buf, sizeof buf, &n));
    EXPECT_EQ(0, memcmp(full->Name, L"Port", 8));
    EXPECT_EQ(0, memcmp(buf + full->DataOffset, text, sizeof text));

    // Basic: 12 fixed bytes and the name.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, L"Port", KeyValueBasicInformation, buf, 11, &n));
    EXPECT_EQ(12u + 8, n);
    ASSERT_EQ(STATUS_SUCCESS, Query(key, L"Port", KeyValueBasicInformation, buf, n, &n));
    auto *basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf);
    EXPECT_EQ((ULONG)REG_SZ, basic->Type);
    EXPECT_EQ(0, memcmp(basic->Name, L"Port", 8));

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key, L"Missing", KeyValuePartialInformation, buf, sizeof buf, &n));

    // A rewrite replaces type and data in place; enumeration keeps write order.
    ULONG dword = 5;
    ASSERT_EQ(STATUS_SUCCESS, Set(key, L"Count", REG_DWORD, &dword, sizeof dword));
    dword = 9;
    ASSERT_EQ(STATUS_SUCCESS, Set(key, L"PORT", REG_DWORD, &dword, sizeof dword));
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(key, 0, KeyValuePartialInformation, buf, sizeof buf, &n));
    EXPECT_EQ((ULONG)REG_DWORD, partial->Type);
    EXPECT_EQ(9u, *reinterpret_cast<ULONG *>(partial->Data));
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buf, sizeof buf, &n));
    EXPECT_EQ(0, memcmp(basic->Name, L"Count", 10));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buf, sizeof buf, &n));

    KEY_FULL_INFORMATION info;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, &info, sizeof info, &n));
    EXPECT_EQ(offsetof(KEY_FULL_INFORMATION, Class), n);
    EXPECT_EQ(2u, info.Values);
    EXPECT_EQ(10u, info.MaxValueNameLen);  // "Count"
    EXPECT_EQ(4u, info.MaxValueDataLen);
    EXPECT_EQ(0u, info.SubKeys);

    UNICODE_STRING count = Name(L"Count");
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(key, &count));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key, &count));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
  });
}

// A value of no bytes (as an INF may leave one) reads back as such in
// every layout; the sanitizers watch that no data is copied from nowhere.
TEST(Registry, AnEmptyValueReadsBackWithNoData) {
  RunExpectingNoFaults([] {
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\Test", REG_OPTION_NON_VOLATILE, &key));
    ASSERT_EQ(STATUS_SUCCESS, Set(key, L"Empty", REG_SZ, nullptr, 0));
    UCHAR buf[64];
    ULONG n = 0;
    ASSERT_EQ(STATUS_SUCCESS, Query(key, L"Empty", KeyValuePartialInformation, buf, sizeof buf, &n));
    EXPECT_EQ(0u, reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf)->DataLength);
    ASSERT_EQ(STATUS_SUCCESS, Query(key, L"Empty", KeyValueFullInformation, buf, sizeof buf, &n));
    EXPECT_EQ(0u, reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf)->DataLength);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
  });
}

TEST(Registry, KeysByNameAndTheRightsTheirHandlesCarry) {
  RunExpectingNoFaults([] {
    HANDLE key, sub;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(L"\\Registry\\Machine\\SOFTWARE\\Nowhere", KEY_READ, &key));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(L"Registry\\Machine", KEY_READ, &key));
    // Only the last key is created: the one above it must exist.
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(L"\\Registry\\Machine\\SOFTWARE\\A\\B", 0, &key));
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\A", 0, &key, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    HANDLE again;
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\registry\\machine\\software\\a", 0, &again, &disposition));
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
    ZwClose(again);
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\A\\B", 0, &sub));
    ZwClose(sub);

    // Relative to an open key; an absolute name there is malformed.
    ASSERT_EQ(STATUS_SUCCESS, Open(L"B", KEY_READ, &sub, key));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(L"\\B", KEY_READ, &again, key));
    // The handle's access binds user-mode callers only: a driver's Zw* call
    // comes from kernel mode and is trusted, as the object manager trusts it.
    ULONG v = 1;
    EXPECT_EQ(STATUS_SUCCESS, Set(sub, L"V", REG_DWORD, &v, sizeof v));  // opened to read
    ZwClose(sub);
    ASSERT_EQ(STATUS_SUCCESS, Open(L"B", KEY_WRITE, &sub, key));
    EXPECT_EQ(STATUS_SUCCESS, Set(sub, L"V", REG_DWORD, &v, sizeof v));
    UCHAR buf[32];
    ULONG n;
    EXPECT_EQ(STATUS_SUCCESS, Query(sub, L"V", KeyValuePartialInformation, buf, sizeof buf, &n));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"V");
    EXPECT_EQ(STATUS_ACCESS_DENIED, sim::NtQueryValueKey(sub, &name, KeyValuePartialInformation, buf, sizeof buf, &n));
    EXPECT_EQ(STATUS_ACCESS_DENIED, sim::NtEnumerateValueKey(sub, 0, KeyValuePartialInformation, buf, sizeof buf, &n));
    ZwClose(sub);
    ZwClose(key);
    sim::registry::Value value;
    ASSERT_TRUE(sim::registry::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", u"v", &value));
    EXPECT_EQ((ULONG)REG_DWORD, value.type);
  });
}

TEST(Registry, VolatileKeysAndWhatARestartKeeps) {
  RunExpectingNoFaults([] {
    HANDLE key, child;
    ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\Temp", REG_OPTION_VOLATILE, &key));
    // A persistent key cannot live below a volatile one.
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE,
              Create(L"\\Registry\\Machine\\SOFTWARE\\Temp\\Kept", REG_OPTION_NON_VOLATILE, &child));
    ZwClose(key);
    // The hardware hive is volatile whatever the options.
    const WCHAR port[] = L"COM7";
    ASSERT_EQ(STATUS_SUCCESS,
              RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\USBMODEM0", REG_SZ,
                                    (PVOID)port, sizeof port));
    EXPECT_TRUE(sim::registry::KeyIsVolatile(kSerialComm));
    EXPECT_FALSE(sim::registry::KeyIsVolatile(u"\\Registry\\Machine\\SYSTEM"));
    sim::registry::SetValue(u"\\Registry\\Machine\\SOFTWARE\\Kept", u"X", REG_DWORD, "\1\0\0\0", 4);

    ASSERT_EQ(STATUS_SUCCESS, Open(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, &key));
    sim::registry::DiscardVolatileKeys();
    UCHAR buf[64];
    ULONG n;
    EXPECT_EQ(STATUS_KEY_DELETED, Query(key, L"\\Device\\USBMODEM0", KeyValuePartialInformation, buf, 64, &n));
    ZwClose(key);
    EXPECT_FALSE(sim::registry::KeyExists(kSerialComm));
    EXPECT_FALSE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Temp"));
    EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Kept"));
  });
}

TEST(Registry, EachPdoHasItsOwnHardwareKeyAndOtherDeviceObjectsHaveNone) {
  RunExpectingNoFaults([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT pdo = MakePdo(&d);
    PDEVICE_OBJECT other = MakePdo(&d, "USB\\Vid_0572&Pid_1329\\5&0&0&2");
    PDEVICE_OBJECT fdo = MakeDevice(MakeDriver(L"\\Driver\\usbmodem"), &d);
    HANDLE key;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key));

    ULONG preset = 0x1234;
    ASSERT_TRUE(sim::registry::SetDeviceValue(pdo, u"PortName", REG_DWORD, &preset, sizeof preset));
    EXPECT_FALSE(sim::registry::SetDeviceValue(fdo, u"PortName", REG_DWORD, &preset, sizeof preset));
    EXPECT_EQ(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0572&Pid_1329\\5&0&0&1"
              u"\\Device Parameters",
              sim::registry::DeviceKeyPath(pdo));

    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    UCHAR buf[64];
    ULONG n;
    ASSERT_EQ(STATUS_SUCCESS, Query(key, L"PortName", KeyValuePartialInformation, buf, sizeof buf, &n));
    EXPECT_EQ(preset, *reinterpret_cast<ULONG *>(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf)->Data));
    ULONG mine = 7;
    ASSERT_EQ(STATUS_SUCCESS, Set(key, L"Mine", REG_DWORD, &mine, sizeof mine));
    ZwClose(key);

    // The other PDO's key is another key, created empty on its first open.
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key, L"Mine", KeyValuePartialInformation, buf, sizeof buf, &n));
    ZwClose(key);
    sim::registry::Value value;
    EXPECT_TRUE(sim::registry::QueryValue(sim::registry::DeviceKeyPath(pdo), u"Mine", &value));

    // The software key is named by the instance key's Driver value.
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    ZwClose(key);
    ASSERT_TRUE(sim::registry::QueryValue(
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0572&Pid_1329\\5&0&0&1", u"Driver", &value));
    EXPECT_EQ(U16(L"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000"),
              std::u16string(reinterpret_cast<const char16_t *>(value.data.data())));
    EXPECT_TRUE(sim::registry::KeyExists(
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000"));
  });
}

TEST(Registry, DeviceMapWritesAndDeletes) {
  RunExpectingNoFaults([] {
    const WCHAR port[] = L"COM7";
    EXPECT_FALSE(sim::registry::KeyExists(kSerialComm));
    ASSERT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\USBMODEM0",
                                                    REG_SZ, (PVOID)port, sizeof port));
    sim::registry::Value value;
    ASSERT_TRUE(sim::registry::QueryValue(kSerialComm, u"\\Device\\USBMODEM0", &value));
    EXPECT_EQ((ULONG)REG_SZ, value.type);
    EXPECT_EQ(sizeof port, value.data.size());
    // The key written is created only when its parent exists.
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NoSuch\\Key", L"V",
                                                                  REG_SZ, (PVOID)port, sizeof port));
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                                    L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                                    L"\\Device\\USBMODEM1", REG_SZ, (PVOID)L"COM8", 10));
    EXPECT_EQ(2u, sim::registry::Values(kSerialComm).size());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"X", L"V", REG_SZ, nullptr, 0));

    EXPECT_EQ(STATUS_SUCCESS, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\USBMODEM0"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\USBMODEM0"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOKEY", L"V"));
    ASSERT_EQ(1u, sim::registry::Values(kSerialComm).size());
    EXPECT_EQ(u"\\Device\\USBMODEM1", sim::registry::Values(kSerialComm)[0].first);
  });
}

TEST(Registry, EachKernelStartsWithAFreshRegistry) {
  RunExpectingNoFaults([] {
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\USBMODEM0", REG_SZ, (PVOID)L"COM7", 10);
  });
  RunExpectingNoFaults([] { EXPECT_FALSE(sim::registry::KeyExists(kSerialComm)); });
}

// ---------------------------------------------------------------- faulty drivers
TEST(RegistryVerifier, AKeyHandleLeftOpenIsALeak) {
  sim::Kernel k(Options());
  k.Run([] {
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Open(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", KEY_READ, &key));
    HANDLE closed;
    ASSERT_EQ(STATUS_SUCCESS, Open(L"\\Registry\\Machine\\SYSTEM", KEY_READ, &closed));
    ZwClose(closed);
  });
  k.Shutdown();
  EXPECT_EQ(1, CountFaults(k, Fault::HandleLeak)) << DescribeFaults(k);
  ASSERT_FALSE(k.Faults().empty());
  EXPECT_NE(std::string::npos, k.Faults()[0].detail.find("registry key")) << DescribeFaults(k);
}

TEST(RegistryVerifier, RegistryRoutinesAbovePassiveLevel) {
  Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
  struct Case {
    const char *routine;
    std::function<NTSTATUS(HANDLE key, PDEVICE_OBJECT pdo)> call;
  };
  const Case cases[] = {
      {"ZwOpenKey", [](HANDLE, PDEVICE_OBJECT) { HANDLE h; return Open(L"\\Registry\\Machine", KEY_READ, &h); }},
      {"ZwCreateKey", [](HANDLE, PDEVICE_OBJECT) { HANDLE h; return Create(L"\\Registry\\Machine\\X", 0, &h); }},
      {"ZwQueryValueKey",
       [](HANDLE key, PDEVICE_OBJECT) { ULONG n; UCHAR b[16]; return Query(key, L"V", KeyValuePartialInformation, b, 16, &n); }},
      {"ZwSetValueKey", [](HANDLE key, PDEVICE_OBJECT) { return Set(key, L"V", REG_DWORD, "\0\0\0\0", 4); }},
      {"IoOpenDeviceRegistryKey",
       [](HANDLE, PDEVICE_OBJECT pdo) { HANDLE h; return IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h); }},
      {"RtlWriteRegistryValue",
       [](HANDLE, PDEVICE_OBJECT) { return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"V", REG_DWORD, (PVOID)"\0\0\0\0", 4); }},
      {"RtlDeleteRegistryValue",
       [](HANDLE, PDEVICE_OBJECT) { return RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"V"); }},
  };
  for (const Case &c : cases) {
    for (KIRQL irql : {(KIRQL)APC_LEVEL, (KIRQL)DISPATCH_LEVEL}) {
      SCOPED_TRACE(std::string(c.routine) + " at IRQL " + std::to_string(irql));
      sim::Kernel k(Options());
      k.Run([&] {
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Registry\\Machine\\SOFTWARE\\T", 0, &key));
        PDEVICE_OBJECT pdo = MakePdo(&d);
        KIRQL old;
        KeRaiseIrql(irql, &old);
        EXPECT_NE(STATUS_SUCCESS, c.call(key, pdo));
        KeLowerIrql(old);
        ZwClose(key);
      });
      k.Shutdown();
      ASSERT_EQ(1, CountFaults(k, Fault::IrqlTooHigh)) << DescribeFaults(k);
      EXPECT_EQ(c.routine, k.Faults()[0].routine);
      EXPECT_EQ(1u, k.Faults().size()) << DescribeFaults(k);
    }
  }
}

TEST(RegistryVerifier, AHandleThatIsNoOpenKey) {
  sim::Kernel k(Options());
  k.Run([] {
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Open(L"\\Registry\\Machine", KEY_READ, &key));
    ZwClose(key);
    UCHAR b[16];
    ULONG n;
    EXPECT_EQ(STATUS_INVALID_HANDLE, Query(key, L"V", KeyValuePartialInformation, b, sizeof b, &n));
  });
  k.Shutdown();
  ASSERT_EQ(1, CountFaults(k, Fault::InvalidParameter)) << DescribeFaults(k);
  EXPECT_EQ("ZwQueryValueKey", k.Faults()[0].routine);
}

}  // namespace
