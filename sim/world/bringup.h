// Bringing our device up on a modem's PDO and taking it down again, as the
// Plug and Play manager does: on its own thread, one request at a time,
// through the driver's AddDevice and IRP_MJ_PNP entry.
#pragma once

#include <sim/kernel/sim.h>

namespace sim {
namespace world {

// Sends one Plug and Play IRP to the top of `device`'s stack and waits for
// it; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor);
// IRP_MN_QUERY_CAPABILITIES as the PnP manager fills it in; *caps is what
// came back.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES *caps);

// The capabilities from the bus, AddDevice through the driver extension;
// *fdo is our device on top of the PDO.
NTSTATUS AddOurDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo);
// IRP_MN_START_DEVICE, then the capabilities again from the started stack.
NTSTATUS StartOurDevice(PDEVICE_OBJECT fdo);
// The device is gone from the bus: IRP_MN_SURPRISE_REMOVAL.
void SurpriseRemoveOurDevice(PDEVICE_OBJECT fdo);
// IRP_MN_REMOVE_DEVICE (after a query where no surprise removal came first);
// our device object is deleted.
void RemoveOurDevice(PDEVICE_OBJECT fdo, bool surpriseRemoved);

}  // namespace world
}  // namespace sim
