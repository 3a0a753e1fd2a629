// The I/O manager as user mode reaches it (what kernel32 calls). Host only.
// Handles are file objects on a device; requests are IRPs built as the
// I/O manager builds them for a DO_BUFFERED_IO device.
#pragma once

#include <wdm.h>

namespace sim {

// Opens a device by its object-namespace path, e.g. L"\\??\\COM7" (the
// Win32 name \\.\COM7 maps there), sending IRP_MJ_CREATE. `overlapped`
// marks the handle for asynchronous requests.
NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, const WCHAR *Path, PIO_STATUS_BLOCK Iosb,
                      bool Overlapped);

// Event objects (NtCreateEvent): the handle holds a reference and so does
// each request below that names the event, until it completes; closing the
// handle (NtCloseEvent) while a request is pending leaves the object alive
// for that request, as on Windows.
PKEVENT NtCreateEvent(EVENT_TYPE Type, BOOLEAN InitialState);
NTSTATUS NtCloseEvent(PKEVENT Event);

// Each request below builds one IRP (system buffer from pool for buffered
// I/O; output copied back to the caller's buffer at completion, Information
// bytes). On a synchronous handle the call waits for completion and returns
// the final status. On an overlapped handle it returns STATUS_PENDING when the
// driver pends the IRP; completion then fills *Iosb and sets Event. Event may
// be NULL only on synchronous handles. Requests are tied to the calling thread
// for NtCancelIoFile.
NTSTATUS NtReadFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, PVOID Buffer, ULONG Length);
NTSTATUS NtWriteFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, const void *Buffer, ULONG Length);
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, ULONG IoControlCode,
                               const void *InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength);
// IRP_MJ_FLUSH_BUFFERS; waits for its completion whatever the handle's mode.
NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK Iosb);
// Cancels the calling thread's outstanding requests on this handle (IoCancelIrp each).
NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK Iosb);
// Cleanup (IRP_MJ_CLEANUP) when the handle closes, then IRP_MJ_CLOSE once no
// request holds the file object any more.
NTSTATUS NtClose(HANDLE Handle);

// The registry as user mode reaches it: as the Zw* routines, but held to the
// access the key was opened with.
NTSTATUS NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength);

}  // namespace sim
