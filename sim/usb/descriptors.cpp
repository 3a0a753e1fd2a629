#include "sim/usb/descriptors.h"

#include <usb.h>

namespace sim {
namespace usb {

Bytes ModemDeviceDescriptor() {
  return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0xFF, 0x00, 0x00, 8,
          0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
}

Bytes InterfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t cls, uint8_t subClass,
                          uint8_t protocol) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, numEndpoints, cls, subClass, protocol, 0};
}

Bytes EndpointDescriptor(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, uint8_t(maxPacket & 0xFF), uint8_t(maxPacket >> 8),
          interval};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

static uint8_t CountInterfaces(const Bytes &body) {
  uint8_t n = 0;
  for (size_t at = 0; at + 2 <= body.size() && body[at] >= 2; at += body[at]) {
    if (body[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && body[at + 3] == 0) ++n;  // alternate 0 only
  }
  return n;
}

Bytes Configuration(uint8_t bmAttributes, const Bytes &body, int totalLengthOverride) {
  size_t total = totalLengthOverride >= 0 ? size_t(totalLengthOverride) : 9 + body.size();
  Bytes all = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, uint8_t(total & 0xFF), uint8_t(total >> 8),
               CountInterfaces(body), 1, 0, bmAttributes, 50};
  all.insert(all.end(), body.begin(), body.end());
  return all;
}

Bytes ModemConfiguration(uint8_t bmAttributes) {
  return Configuration(bmAttributes, Concat({InterfaceDescriptor(0, 0, 2), EndpointDescriptor(0x01),
                                             EndpointDescriptor(0x81)}));
}

}  // namespace usb
}  // namespace sim
