// Mends for mingw-w64's DDK headers when building usbmodem.sys for Windows XP.
// Force-included ahead of every translation unit of the target build, so it
// runs before any platform header. Never included by the host build.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x05010000
#endif

// wdm.h tests a misspelt NTDDI_WINVISTA; undefined, it reads as 0 and pulls
// Vista-only members (SYSTEM_POWER_STATE_CONTEXT) into IO_STACK_LOCATION
// while the type itself is only declared for NTDDI_VISTA.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif

// wdm.h defines InterlockedBitTestAndSet/Reset itself; intrin.h, which it
// includes first, would define them too. Tell intrin.h they exist already.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// usbdlib.h declares the USBD routines without C linkage, so C++ callers
// would import mangled names USBD.SYS does not export. Include it here, ahead
// of platform.h, with C linkage; its #pragma once makes the later include a
// no-op. It needs the kernel and USB types first.
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
extern "C" {
#include <usbdlib.h>
}

// Code placement. A routine goes to a section through GCC's section
// attribute; platform.h describes where the macro may stand. Kept out of
// line so that a marked routine always exists, in its section, as itself.
#define INIT_CODE __attribute__((section("INIT"), noinline))
#define PAGED_CODE_SEG __attribute__((section("PAGE"), noinline))
