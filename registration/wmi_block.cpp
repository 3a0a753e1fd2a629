#include "registration/wmi.h"
#include "driver/entry.h"

volatile ULONG WmiSetting = 10;

// {BBA21300-6DD3-11D2-B844-00C04FAD5171}
static const GUID WmiDataGuid = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
WMIGUIDREGINFO WmiGuidList[1] = {{&WmiDataGuid, 1, 0}};

static const WCHAR WmiText[] = L"Quorvalen";
static const WCHAR MofResourceNameText[] = L"MofResourceName";

const ULONG WMI_SETTING_ITEM = 1;

// Queries and sets for several devices may meet: whole-word accesses only.
static volatile LONG *SettingWord()
{
    return reinterpret_cast<volatile LONG *>(&WmiSetting);
}
// The setting and the text's size ahead of the text.
const ULONG WMI_BLOCK_HEADER_SIZE = sizeof(ULONG) + sizeof(USHORT);

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                            PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                            PDEVICE_OBJECT *Pdo)
{
    UNREFERENCED_PARAMETER(InstanceName);
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &DriverRegistryPath;
    *Pdo = GetExtension(DeviceObject)->PhysicalDeviceObject;
    RtlInitUnicodeString(MofResourceName, MofResourceNameText);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                              PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(InstanceCount);
    USHORT textSize = static_cast<USHORT>(wcslen(WmiText) * sizeof(WCHAR) + sizeof(WCHAR));
    NTSTATUS status;
    ULONG size = 0;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else {
        ULONG needed = textSize + WMI_BLOCK_HEADER_SIZE;
        size = needed;
        if (BufferAvail < needed) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            // Packed: the text's size follows the setting with no padding.
            ULONG setting = static_cast<ULONG>(InterlockedCompareExchange(SettingWord(), 0, 0));
            RtlCopyMemory(Buffer, &setting, sizeof setting);
            RtlCopyMemory(Buffer + sizeof(ULONG), &textSize, sizeof textSize);
            RtlCopyMemory(Buffer + WMI_BLOCK_HEADER_SIZE, WmiText, textSize);
            InstanceLengthArray[0] = needed;
            status = STATUS_SUCCESS;
        }
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

static NTSTATUS StoreSetting(ULONG BufferSize, PUCHAR Buffer)
{
    if (BufferSize != sizeof(ULONG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    ULONG setting;
    RtlCopyMemory(&setting, Buffer, sizeof setting);
    InterlockedExchange(SettingWord(), static_cast<LONG>(setting));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG BufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    NTSTATUS status = GuidIndex != 0 ? STATUS_WMI_GUID_NOT_FOUND : StoreSetting(BufferSize, Buffer);
    return WmiCompleteRequest(DeviceObject, Irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0,
                              IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    NTSTATUS status;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (DataItemId != WMI_SETTING_ITEM) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
    } else {
        status = StoreSetting(BufferSize, Buffer);
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0,
                              IO_NO_INCREMENT);
}
