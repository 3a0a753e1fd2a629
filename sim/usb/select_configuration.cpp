// SELECT_CONFIGURATION with a descriptor: check the request's layout against
// the descriptor it carries, then open a pipe per endpoint and fill the
// interface information as the USB stack does.
#include <vector>

#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

namespace {

struct InterfaceEntry {
  PUSBD_INTERFACE_INFORMATION info;
  PUSB_INTERFACE_DESCRIPTOR descriptor;
  std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
};

// The endpoint descriptors that follow an interface descriptor, up to the next
// interface; false when the descriptor ends early or holds a broken entry.
bool EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR iface,
                 std::vector<PUSB_ENDPOINT_DESCRIPTOR> *out) {
  PUCHAR end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
  PUCHAR at = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
  while (out->size() < iface->bNumEndpoints) {
    if (at + 2 > end || at[0] < 2 || at + at[0] > end) return false;
    if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (at[0] < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
      out->push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(at));
    }
    at += at[0];
  }
  return true;
}

}  // namespace

Outcome DeviceImpl::Configure(PURB urb) {
  struct _URB_SELECT_CONFIGURATION &s = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR config = s.ConfigurationDescriptor;
  if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return kInvalid;
  }
  const size_t headerSize = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  std::vector<InterfaceEntry> entries;
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  PUCHAR base = reinterpret_cast<PUCHAR>(urb);
  while (offset < s.Hdr.Length) {
    if (s.Hdr.Length - offset < headerSize) return kInvalid;
    InterfaceEntry entry;
    entry.info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    entry.descriptor = USBD_ParseConfigurationDescriptorEx(config, config, entry.info->InterfaceNumber,
                                                           entry.info->AlternateSetting, -1, -1, -1);
    if (entry.descriptor == nullptr) return kInvalid;
    if (entry.info->Length != GET_USBD_INTERFACE_SIZE(entry.descriptor->bNumEndpoints)) return kInvalid;
    if (entry.info->Length > s.Hdr.Length - offset) return kInvalid;
    if (!EndpointsOf(config, entry.descriptor, &entry.endpoints)) return kInvalid;
    offset += entry.info->Length;
    entries.push_back(entry);
  }
  if (entries.empty()) return kInvalid;

  for (auto &p : pipes_) p->open = false;
  AbortTransfers();
  for (InterfaceEntry &entry : entries) {
    PUSBD_INTERFACE_INFORMATION info = entry.info;
    info->Class = entry.descriptor->bInterfaceClass;
    info->SubClass = entry.descriptor->bInterfaceSubClass;
    info->Protocol = entry.descriptor->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t(0x1000 + info->InterfaceNumber));
    info->NumberOfPipes = ULONG(entry.endpoints.size());
    for (size_t i = 0; i < entry.endpoints.size(); ++i) {
      PUSB_ENDPOINT_DESCRIPTOR ep = entry.endpoints[i];
      pipes_.emplace_back(new Pipe);
      Pipe *pipe = pipes_.back().get();
      pipe->endpoint = ep->bEndpointAddress;
      pipe->maxPacket = ep->wMaxPacketSize;
      pipe->interval = ep->bInterval;
      pipe->type = USBD_PIPE_TYPE(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe->maxTransfer = info->Pipes[i].MaximumTransferSize;
      pipe->open = true;
      stalledEndpoints_.erase(pipe->endpoint);
      info->Pipes[i].MaximumPacketSize = ep->wMaxPacketSize;
      info->Pipes[i].EndpointAddress = ep->bEndpointAddress;
      info->Pipes[i].Interval = ep->bInterval;
      info->Pipes[i].PipeType = pipe->type;
      info->Pipes[i].PipeHandle = pipe;
    }
  }
  s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(uintptr_t(0x100 + config->bConfigurationValue));
  configured_ = true;
  return kSuccess;
}

}  // namespace usb
}  // namespace sim
