// Bringing our device up on a modem's PDO and taking it down again, as the
// Plug and Play manager does. While the driver has no AddDevice and no Plug
// and Play dispatch of its own, the interim routines stand in for them.
#pragma once

#include <sim/kernel/sim.h>

namespace sim {
namespace world {

// True when the driver's DriverEntry installed an IRP_MJ_PNP handler.
bool DriverHandlesPnp(PDRIVER_OBJECT driver);
// Sends one Plug and Play IRP to `target` and waits for it; returns its
// final status.
NTSTATUS SendPnp(PDEVICE_OBJECT target, UCHAR minor);

// AddDevice (the driver's, or the interim one); *fdo is our device.
NTSTATUS AddOurDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo);
// IRP_MN_START_DEVICE (through the driver, or the interim start).
NTSTATUS StartOurDevice(PDEVICE_OBJECT fdo);
// The device is gone from the bus: IRP_MN_SURPRISE_REMOVAL where the driver
// handles it.
void SurpriseRemoveOurDevice(PDEVICE_OBJECT fdo);
// IRP_MN_REMOVE_DEVICE (after a query where no surprise removal came first);
// our device object is deleted.
void RemoveOurDevice(PDEVICE_OBJECT fdo, bool surpriseRemoved);

// ---- interim stand-ins, until the driver's own land
NTSTATUS InterimAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo);
NTSTATUS InterimStartDevice(PDEVICE_OBJECT fdo);
void InterimRemoveDevice(PDEVICE_OBJECT fdo);

}  // namespace world
}  // namespace sim
