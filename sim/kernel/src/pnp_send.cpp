// How the Plug and Play manager sends its IRPs: built for the top of the
// PDO's stack, Status STATUS_NOT_SUPPORTED, waited for on its thread; and
// what it holds the stack to when the answers come back.
#include <string>

#include "io_private.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/pnp_private.h"
#include "sim/kernel/src/pnp_state.h"

namespace sim {
namespace pnp_internal {
namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Requests the PnP manager sends only when it has decided: a driver
// completes them with success, whatever it thinks of them.
bool MustSucceed(UCHAR minor) {
  return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_STOP_DEVICE ||
         minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
}

void CheckAnswer(const Node &node, UCHAR minor, NTSTATUS status) {
  if (MustSucceed(minor) && !NT_SUCCESS(status))
    ReportFault(Fault::MustSucceedIrpFailed, pnp::MinorName(minor).c_str(),
                "the stack of " + io::DeviceName(node.pdo) + " failed it with " + io::Hex(ULONG(status)) +
                    "; a driver may not fail " + pnp::MinorName(minor));
  if (minor == IRP_MN_REMOVE_DEVICE && node.pdo->AttachedDevice != nullptr)
    ReportFault(Fault::StackLeftAfterRemove, "IRP_MN_REMOVE_DEVICE",
                io::DeviceName(node.pdo->AttachedDevice) + " is still attached to " + io::DeviceName(node.pdo) +
                    " after the removal completed; the function driver must detach and delete its device");
}

}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, const std::function<void(PIO_STACK_LOCATION)> &fill, bool power) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  fill(stack);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (power)
    PoCallDriver(top, irp);
  else
    IofCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return status;
}

NTSTATUS SendPnp(Node &node, UCHAR minor, DEVICE_CAPABILITIES *caps) {
  NTSTATUS status = SendAndWait(
      node.pdo,
      [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        if (caps != nullptr) stack->Parameters.DeviceCapabilities.Capabilities = caps;
      },
      false);
  ManagerState &m = Manager();
  m.log.push_back(pnp::SentIrp{node.id, m.current, minor, status});
  if (m.current != 0) m.requests[m.current - 1].steps += " " + pnp::MinorName(minor) + "=" + io::Hex(ULONG(status));
  CheckAnswer(node, minor, status);
  return status;
}

}  // namespace pnp_internal
}  // namespace sim
