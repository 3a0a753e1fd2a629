// Descriptor bytes for simulated devices: the modem's own set and builders for
// the shapes (good and bad) that tests hand to a device. Host only.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {
namespace usb {

using Bytes = std::vector<uint8_t>;

// 18-byte device descriptor of the modem.
Bytes ModemDeviceDescriptor();
// The one good shape: one interface, bulk OUT 0x01 then bulk IN 0x81, 64-byte packets.
Bytes ModemConfiguration(uint8_t bmAttributes = 0xA0);

// Pieces, each a complete descriptor.
Bytes InterfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t cls = 0xFF,
                          uint8_t subClass = 0, uint8_t protocol = 0);
Bytes EndpointDescriptor(uint8_t address, uint8_t attributes = 0x02, uint16_t maxPacket = 64,
                         uint8_t interval = 0);
// A configuration descriptor in front of `body` (interfaces, endpoints, anything),
// bNumInterfaces counted from the body; wTotalLength is 9 + body unless given.
Bytes Configuration(uint8_t bmAttributes, const Bytes &body, int totalLengthOverride = -1);
Bytes Concat(std::initializer_list<Bytes> parts);

}  // namespace usb
}  // namespace sim
