// The USBD library routines a function driver links against: descriptor
// parsing and the select-configuration request. Every read stays inside the
// descriptor's wTotalLength and inside each descriptor's own bLength.
#include <usbdlib.h>

namespace {

constexpr ULONG USBD_POOL_TAG = 0x44425355;  // "USBD"

bool Within(PUCHAR begin, PUCHAR end, PUCHAR at, size_t size) {
  return at >= begin && at <= end && size_t(end - at) >= size;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  PUCHAR begin = static_cast<PUCHAR>(DescriptorBuffer);
  PUCHAR end = begin + TotalLength;
  PUCHAR at = static_cast<PUCHAR>(StartPosition);
  while (Within(begin, end, at, sizeof(USB_COMMON_DESCRIPTOR))) {
    PUSB_COMMON_DESCRIPTOR common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || !Within(begin, end, at, common->bLength)) return nullptr;
    if (common->bDescriptorType == DescriptorType) return common;
    at += common->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  ULONG total = ConfigurationDescriptor->wTotalLength;
  PUCHAR at = static_cast<PUCHAR>(StartPosition);
  for (;;) {
    PUSB_COMMON_DESCRIPTOR found =
        USBD_ParseDescriptors(ConfigurationDescriptor, total, at, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == nullptr) return nullptr;
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      PUSB_INTERFACE_DESCRIPTOR iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
      if ((InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
          (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
          (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
          (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
          (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol)) {
        return iface;
      }
    }
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
}

// One block: the URB header, then one USBD_INTERFACE_INFORMATION per list
// entry, each sized for its interface's endpoints. The list's Interface
// pointers are set into the block.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  PUCHAR begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  PUCHAR end = begin + ConfigurationDescriptor->wTotalLength;
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  ULONG count = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    PUCHAR at = reinterpret_cast<PUCHAR>(entry->InterfaceDescriptor);
    if (!Within(begin, end, at, sizeof(USB_INTERFACE_DESCRIPTOR))) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    ++count;
  }
  if (count == 0 || size > MAXUSHORT) return nullptr;
  size_t allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : size;
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, USBD_POOL_TAG));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, allocation);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (ULONG i = 0; i < count; ++i) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = InterfaceList[i].InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG p = 0; p < descriptor->bNumEndpoints; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    InterfaceList[i].Interface = info;
    at += info->Length;
  }
  return urb;
}
