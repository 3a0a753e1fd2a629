// Host rendition of the USB driver interface header.
#pragma once
#include <usb.h>
#include <usbioctl.h>
