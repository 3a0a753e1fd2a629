// The one seam between the driver and the platform it is built for.
// Both builds find headers of the DDK's names on their include path: the
// mingw-w64 DDK for usbmodem.sys, sim/kernel/include for the host. Target-only
// quirks are mended by target/compat.h, which the target build force-includes.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <ntddser.h>
#include <wmilib.h>

// Code placement. The target build defines these to its INIT and PAGE
// sections; the host keeps everything resident.
#ifndef INIT_CODE
#define INIT_CODE
#endif
#ifndef PAGED_CODE_SEG
#define PAGED_CODE_SEG
#endif
