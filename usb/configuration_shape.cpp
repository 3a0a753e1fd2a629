#include "usb/configuration.h"

static BOOLEAN IsModemEndpoint(const UCHAR* at, UCHAR address)
{
    // bEndpointAddress, bmAttributes, then the 16-bit wMaxPacketSize, little-endian.
    USHORT maxPacket = static_cast<USHORT>(at[4] | (at[5] << 8));
    return at[2] == address && at[3] == USB_ENDPOINT_TYPE_BULK && maxPacket == 64;
}

// The first endpoint is the first endpoint descriptor after the interface;
// the second is the 7 bytes right behind it. The device's own wTotalLength
// is not trusted beyond the bytes that actually arrived.
BOOLEAN HasModemShape(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Length,
                      PUSB_INTERFACE_DESCRIPTOR Interface)
{
    if (Interface == NULL || Interface->bNumEndpoints != 2) {
        return FALSE;
    }
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(Descriptor);
    const UCHAR* end = begin + Length;
    PUSB_COMMON_DESCRIPTOR first =
        USBD_ParseDescriptors(Descriptor, Length, Interface, USB_ENDPOINT_DESCRIPTOR_TYPE);
    if (first == NULL) {
        return FALSE;
    }
    const UCHAR* at = reinterpret_cast<const UCHAR*>(first);
    if (at + 2 * sizeof(USB_ENDPOINT_DESCRIPTOR) > end) {
        return FALSE;
    }
    return IsModemEndpoint(at, 0x01) && IsModemEndpoint(at + sizeof(USB_ENDPOINT_DESCRIPTOR), 0x81);
}
