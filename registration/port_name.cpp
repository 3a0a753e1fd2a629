#include "registration/port_name.h"

static const WCHAR Backslash[] = L"\\";
static const WCHAR DosDevices[] = L"DosDevices";
static const WCHAR PortNameValue[] = L"PortName";
static const WCHAR EmptyString[] = L"";
static const WCHAR DefaultPortName[] = L"COM7";
static const WCHAR SerialCommKey[] = L"SERIALCOMM";

const ULONG PORT_NAME_CHARS = 80;
const USHORT NAME_BUFFER_LENGTH = 512;
// One WCHAR beyond MaximumLength keeps a full name terminated.
const ULONG NAME_BUFFER_SIZE = NAME_BUFFER_LENGTH + sizeof(WCHAR);

static PAGED_CODE_SEG HANDLE OpenDeviceKey(PDEVICE_OBJECT Pdo)
{
    HANDLE key = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key))) {
        key = NULL;
    }
    return key;
}

static PAGED_CODE_SEG void CloseKey(HANDLE Key)
{
    if (Key != NULL) {
        ZwClose(Key);
    }
}

// An empty counted string over a zeroed NAME_BUFFER_SIZE block.
static PAGED_CODE_SEG BOOLEAN AllocateNameBuffer(PUNICODE_STRING Name)
{
    Name->Length = 0;
    Name->MaximumLength = NAME_BUFFER_LENGTH;
    Name->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, NAME_BUFFER_SIZE, USBMODEM_POOL_TAG));
    if (Name->Buffer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(Name->Buffer, NAME_BUFFER_SIZE);
    return TRUE;
}

// The integrator's "PortName", or COM7 when it is missing, empty, unreadable
// or does not fit the buffer with its terminator: a name cut short would be
// one nobody configured.
static PAGED_CODE_SEG void ReadPortName(HANDLE Key, PWCHAR PortName)
{
    RtlZeroMemory(PortName, PORT_NAME_CHARS * sizeof(WCHAR));
    ReadRegistryValue(Key, PortNameValue, sizeof(PortNameValue), PortName, PORT_NAME_CHARS * sizeof(WCHAR));
    if (PortName[PORT_NAME_CHARS - 1] != 0) {
        PortName[0] = 0;
    }
    if (wcscmp(PortName, EmptyString) == 0) {
        wcsncpy(PortName, DefaultPortName, sizeof(DefaultPortName) / sizeof(WCHAR));
    }
}

// \DosDevices\ and the port name.
static PAGED_CODE_SEG void BuildLinkName(PUNICODE_STRING Link, PCWSTR PortName)
{
    RtlAppendUnicodeToString(Link, Backslash);
    RtlAppendUnicodeToString(Link, DosDevices);
    RtlAppendUnicodeToString(Link, Backslash);
    RtlAppendUnicodeToString(Link, PortName);
}

// The link name for the port name the device key holds now; FALSE when the
// link buffer cannot be had.
static PAGED_CODE_SEG BOOLEAN MakeLinkName(PDEVICE_OBJECT Pdo, PUNICODE_STRING Link, PWCHAR PortName)
{
    HANDLE key = OpenDeviceKey(Pdo);
    if (!AllocateNameBuffer(Link)) {
        CloseKey(key);
        return FALSE;
    }
    ReadPortName(key, PortName);
    BuildLinkName(Link, PortName);
    CloseKey(key);
    return TRUE;
}

static PAGED_CODE_SEG NTSTATUS QueryPdoName(PDEVICE_OBJECT Pdo, PUNICODE_STRING Name)
{
    ULONG resultLength = 0;
    NTSTATUS status = IoGetDeviceProperty(Pdo, DevicePropertyPhysicalDeviceObjectName, NAME_BUFFER_LENGTH,
                                          Name->Buffer, &resultLength);
    if (NT_SUCCESS(status)) {
        Name->Length = static_cast<USHORT>(resultLength >= sizeof(WCHAR) ? resultLength - sizeof(WCHAR) : 0);
    }
    return status;
}

PAGED_CODE_SEG void WithdrawInterface(PUNICODE_STRING InterfaceName)
{
    PAGED_CODE();
    if (InterfaceName->Buffer != NULL) {
        IoSetDeviceInterfaceState(InterfaceName, FALSE);
        RtlFreeUnicodeString(InterfaceName);
    }
}

PAGED_CODE_SEG NTSTATUS CreatePortName(PDEVICE_OBJECT Pdo, PUNICODE_STRING InterfaceName)
{
    PAGED_CODE();
    WCHAR portName[PORT_NAME_CHARS];
    UNICODE_STRING link;
    UNICODE_STRING pdoName;

    if (!MakeLinkName(Pdo, &link, portName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (!AllocateNameBuffer(&pdoName)) {
        ExFreePool(link.Buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = QueryPdoName(Pdo, &pdoName);
    if (!NT_SUCCESS(status)) {
        ExFreePool(pdoName.Buffer);
        ExFreePool(link.Buffer);
        return status;
    }
    // A second modem configured with a name already in use keeps going.
    BOOLEAN linked = NT_SUCCESS(IoCreateSymbolicLink(&link, &pdoName));
    if (NT_SUCCESS(IoRegisterDeviceInterface(Pdo, &GUID_DEVINTERFACE_COMPORT, NULL, InterfaceName))) {
        IoSetDeviceInterfaceState(InterfaceName, TRUE);
    }
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, pdoName.Buffer, REG_SZ, portName,
                                   static_cast<ULONG>((wcslen(portName) + 1) * sizeof(WCHAR)));
    if (!NT_SUCCESS(status)) {
        // The device is not added: nothing may lead applications to the bare
        // bus device once our device object is gone.
        WithdrawInterface(InterfaceName);
        if (linked) {
            IoDeleteSymbolicLink(&link);
        }
    }
    ExFreePool(pdoName.Buffer);
    ExFreePool(link.Buffer);
    return status;
}

PAGED_CODE_SEG NTSTATUS RemovePortName(PDEVICE_OBJECT Pdo)
{
    PAGED_CODE();
    WCHAR portName[PORT_NAME_CHARS];
    UNICODE_STRING link;
    UNICODE_STRING pdoName;

    // The name is read again: the link to delete is the one the key names now.
    if (!MakeLinkName(Pdo, &link, portName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoDeleteSymbolicLink(&link);
    ExFreePool(link.Buffer);

    if (!AllocateNameBuffer(&pdoName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = QueryPdoName(Pdo, &pdoName);
    if (NT_SUCCESS(status)) {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, pdoName.Buffer);
    }
    ExFreePool(pdoName.Buffer);
    return status;
}
