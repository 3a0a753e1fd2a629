// The per-device record and the small records the driver hands to its
// callbacks. Everything a modem needs lives in DEVICE_EXTENSION.
#pragma once

#include "driver/platform.h"

// Pool tag "Wdm " (bytes 'W' 'd' 'm' ' ' in memory order).
const ULONG USBMODEM_POOL_TAG = 0x206D6457;
// Pool tag "lek\0", used only for the immediate-character URB.
const ULONG IMMEDIATE_CHAR_POOL_TAG = 0x006B656C;

const ULONG RING_SIZE = 40960;

// Largest bulk transfer in either direction; the pipes are configured for it.
const ULONG MAX_TRANSFER_SIZE = 1024;

// Vendor requests on the default pipe.
const UCHAR VENDOR_REQUEST_SET_DTR = 1;
const UCHAR VENDOR_REQUEST_GET_STATUS = 2;
// bmRequestType for a vendor request addressed to the device.
const UCHAR VENDOR_REQUEST_TYPE = 0x40;

enum DEVICE_STATE_VALUE : ULONG {
    NotStarted = 0,
    Working = 1,
    PendingStop = 2,
    PendingRemove = 3,
    SurpriseRemoved = 4,
    Removed = 5
};

// Internal line-state bits (LineState).
const USHORT LINE_CTS = 0x0008;
const USHORT LINE_DSR = 0x0010;
const USHORT LINE_RLSD = 0x0020;

// Modem-status / modem-control image bits.
const ULONG IMAGE_CTS = 0x10;
const ULONG IMAGE_DSR = 0x20;
const ULONG IMAGE_DCD = 0x80;

struct READ_QUEUE {
    KSPIN_LOCK Lock;
    LIST_ENTRY Head;
    LONG Count;
};

struct DEVICE_EXTENSION {
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    UNICODE_STRING InterfaceName;
    DEVICE_CAPABILITIES DeviceCapabilities;
    LONG OpenCount;

    LONG OutstandingIo;
    KSPIN_LOCK IoCountLock;
    KEVENT NoPendingIoEvent;
    KEVENT RemoveEvent;

    UCHAR ReadRing[RING_SIZE];
    ULONG RingReadIndex;
    ULONG RingWriteIndex;
    LONG RingCount;
    KSPIN_LOCK RingLock;
    UCHAR ScanBuffer[RING_SIZE];

    READ_QUEUE ReadQueue;
    KTIMER ReadTimer;
    KDPC ReadTimerDpc;

    KEVENT StopReaderEvent;
    KEVENT BulkInDoneEvent;
    PKTHREAD ReaderThread;

    ULONG BaudRate;
    ULONG ModemControl;
    ULONG ModemStatus;
    UCHAR CtsChanged;
    UCHAR DsrChanged;
    UCHAR RlsdChanged;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIALPERF_STATS PerfStats;
    SERIAL_COMMPROP CommProperties;
    SERIAL_QUEUE_SIZE QueueSize;
    ULONG WaitMask;
    USHORT LineState;
    BOOLEAN IoTimerRunning;
    // Ended writes whose successor has not been started yet (see StartNextWrite).
    LONG WriteStartRequests;

    KSPIN_LOCK WaitIrpLock;
    PIRP PendingWaitIrp;
    // Set by cleanup under WaitIrpLock, cleared by the next open: waits that
    // arrive meanwhile are cancelled at once, or cleanup's drain would wait
    // for them for ever.
    BOOLEAN CleanupInProgress;

    UCHAR LastStatusBit0;
    UCHAR LastStatusBit1;

    ULONG DeviceState;
    ULONG PreviousDeviceState;
    // Set by a stop, so that the next start brings back what the stop took.
    BOOLEAN Stopped;

    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;

    ULONG SystemPowerState;
    ULONG DevicePowerState;
    ULONG WakeSupported;
    PIRP WaitWakeIrp;
    LONG WaitWakeCompleted;
    LONG WaitWakePending;
    // The work item a return to D0 may need; taken before the request goes
    // down (one device set request at a time).
    struct POWER_WORK_CONTEXT* PowerUpWork;

    WMILIB_CONTEXT WmiLibContext;
};
typedef DEVICE_EXTENSION* PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION GetExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// One queued read; hangs off Irp->Tail.Overlay.DriverContext[0].
struct READ_CONTEXT {
    PIRP Irp;
    LONGLONG QueueTime;
    BOOLEAN Cancelled;
};

// One write in progress, from StartIo until its last piece completes.
struct WRITE_CONTEXT {
    PURB Urb;
    ULONG Remaining;
    ULONG Transferred;
    PUCHAR NextBuffer;
    PDEVICE_EXTENSION DeviceExtension;
};

// Shared by the reader thread and its transfer's completion routine.
struct BULK_IN_CONTEXT {
    PIRP Irp;
    PURB Urb;
    PDEVICE_EXTENSION DeviceExtension;
    PUCHAR Buffer;
    // How the last transfer ended, for the thread to read once it is woken.
    NTSTATUS Status;
    USBD_STATUS UsbdStatus;
};

// One status poll, handed from the I/O timer to a work item.
struct POLL_CONTEXT {
    PUCHAR Buffer;
    ULONG Length;
    PIO_WORKITEM WorkItem;
};

// Sizes the driver and its peers rely on. URB lengths are pinned for the
// 32-bit target only; the driver always uses sizeof, so a 64-bit build with
// larger structures stays correct.
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72,
              "bulk transfer URB must be 72 bytes on x86");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80,
              "descriptor request URB must be 80 bytes on x86");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80,
              "vendor request URB must be 80 bytes on x86");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_PIPE_REQUEST) == 24,
              "pipe request URB must be 24 bytes on x86");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60,
              "select-configuration URB must be 60 bytes on x86");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES must be 64 bytes");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP must be 64 bytes");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL must be 3 bytes");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS must be 20 bytes");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS must be 6 bytes");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW must be 16 bytes");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS must be 24 bytes");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS must be 20 bytes");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE must be 8 bytes");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG must be 32 bits");
