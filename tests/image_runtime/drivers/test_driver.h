// What the image runtime's test drivers share: the DDK and the placement of
// code in the sections Windows treats specially.
#pragma once

// Built with the target's target/compat.h forced in: the DDK, INIT_CODE and
// PAGED_CODE_SEG as usbmodem.sys has them.
#define INIT_SECTION INIT_CODE
#define PAGE_SECTION PAGED_CODE_SEG

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
