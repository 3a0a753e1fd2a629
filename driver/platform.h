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
#include <wmistr.h>
#include <wmilib.h>

// Code placement. The target build defines these to its INIT and PAGE
// sections; the host keeps everything resident. With GCC the macro may stand
//   - at the front of a declaration or a definition:
//       extern "C" INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
//       PAGED_CODE_SEG NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) { ... }
//   - after the parameter list of a declaration only (not of a definition):
//       extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) INIT_CODE;
// but not ahead of extern "C". DriverEntry keeps C linkage: the image's
// entry point is _DriverEntry@8. A definition inherits the placement of an
// earlier declaration, so marking the header's declaration is enough.
#ifndef INIT_CODE
#define INIT_CODE
#endif
#ifndef PAGED_CODE_SEG
#define PAGED_CODE_SEG
#endif
