// The device's power policy: system requests mapped onto device requests,
// the reader stopped before the device leaves D0 and started again at D0,
// and the wait-wake request that lets the modem wake the system.
#pragma once

#include "driver/driver.h"

// Context of the device request made for one system request.
struct SYSTEM_POWER_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PIRP SystemIrp;
};

// Context of the work item that finishes a power-down, or a return to D0
// that completed at a raised IRQL, at PASSIVE_LEVEL.
struct POWER_WORK_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PIO_WORKITEM WorkItem;
};

NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

VOID NTAPI DevicePowerIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus);
VOID NTAPI WaitWakeDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                        PVOID Context, PIO_STATUS_BLOCK IoStatus);
VOID NTAPI WakeUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                      PVOID Context, PIO_STATUS_BLOCK IoStatus);

void RequestDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp);
void FinishPowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_EXTENSION ext);
NTSTATUS QueuePowerDownWork(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PowerDownWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
NTSTATUS ArmWaitWake(PDEVICE_EXTENSION ext);

// Power states compare as signed numbers: a larger one is a lower power
// level (D3 below D0, S4 deeper than S1).
inline LONG PowerLevel(ULONG state)
{
    return static_cast<LONG>(state);
}

// The last steps of every path that finishes a set or query request here.
NTSTATUS FinishPowerIrp(PDEVICE_EXTENSION ext, PIRP Irp, NTSTATUS Status);
// Copies the current location to the next with a completion routine for
// every outcome and sends the IRP to the bus.
NTSTATUS PassPowerIrpDown(PDEVICE_EXTENSION ext, PIRP Irp, PIO_COMPLETION_ROUTINE Completion);
