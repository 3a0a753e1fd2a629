#include "driver/entry.h"
#include "driver/port_defaults.h"
#include "datapath/read_queue.h"
#include "registration/port_name.h"
#include "registration/wmi.h"
#include "usb/status_poll.h"

// Every lock, event, timer and queue the other paths use, ready before the
// first request can arrive.
static PAGED_CODE_SEG void InitializeDeviceRecord(PDEVICE_EXTENSION ext)
{
    PDEVICE_OBJECT fdo = ext->FunctionalDeviceObject;
    KeInitializeSpinLock(&ext->RingLock);
    KeInitializeSpinLock(&ext->IoCountLock);
    KeInitializeSpinLock(&ext->WaitIrpLock);
    ext->OutstandingIo = 1;
    IoInitializeTimer(fdo, StatusPollTimer, NULL);
    ext->IoTimerRunning = FALSE;
    ext->CleanupInProgress = FALSE;
    ext->DeviceState = NotStarted;
    ext->OpenCount = 0;
    ext->ReaderThread = NULL;
    KeInitializeEvent(&ext->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->NoPendingIoEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&ext->ReadQueue.Lock);
    InitializeListHead(&ext->ReadQueue.Head);
    ext->ReadQueue.Count = 0;
    KeInitializeTimerEx(&ext->ReadTimer, NotificationTimer);
    KeInitializeDpc(&ext->ReadTimerDpc, ReadTimerDpc, ext);
}

// What CreatePortName published, withdrawn again.
static PAGED_CODE_SEG void UndoPortName(PDEVICE_EXTENSION ext)
{
    WithdrawInterface(&ext->InterfaceName);
    RemovePortName(ext->PhysicalDeviceObject);
}

PAGED_CODE_SEG NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    ext->FunctionalDeviceObject = fdo;
    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    InitializePortDefaults(ext);

    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (ext->LowerDeviceObject == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    status = CreatePortName(PhysicalDeviceObject, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->LowerDeviceObject);
        IoDeleteDevice(fdo);
        return status;
    }
    InitializeDeviceRecord(ext);
    if (!NT_SUCCESS(RegisterWmi(ext))) {
        // A device that never came up must not leave its COM name behind.
        UndoPortName(ext);
        IoDetachDevice(ext->LowerDeviceObject);
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    if (PhysicalDeviceObject->Flags & DO_POWER_PAGABLE) {
        fdo->Flags |= DO_POWER_PAGABLE;
    }
    ext->DevicePowerState = PowerDeviceD0;
    ext->SystemPowerState = PowerSystemWorking;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(fdo, DevicePowerState, state);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
