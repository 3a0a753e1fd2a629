#include "badinput/sweep.h"

#include <algorithm>

#include "driver/driver.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"

namespace badinput {

using testing_support::DriverIrp;

namespace {

// The serial IOCTL reference's generic values, the driver's own for a port
// that is not working or out of memory, and the USB stack's for a device
// that is asleep or gone, which requests sent to the device pass on.
bool DocumentedStatus(NTSTATUS s) {
  switch (s) {
    case STATUS_SUCCESS:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_INVALID_PARAMETER:
    case STATUS_ACCESS_VIOLATION:
    case STATUS_UNSUCCESSFUL:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_CANCELLED:
    case STATUS_DELETE_PENDING:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_DEVICE_POWERED_OFF:
    case STATUS_DEVICE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

// A pended request is let go as an application would: a wait by a new
// wait mask, anything else by cancelling it if it does not end by itself.
bool Finish(PDEVICE_OBJECT fdo, const IoctlCase &ioctl, DriverIrp &irp) {
  if (irp.Done()) return true;
  if (ioctl.code == IOCTL_SERIAL_WAIT_ON_MASK)
    testing_support::SendIoctlUlong(fdo, IOCTL_SERIAL_SET_WAIT_MASK, kSweepWaitMask);
  if (irp.Wait(2000)) return true;
  irp.Cancel();
  return irp.Wait(2000);
}

Outcome SendCell(PDEVICE_OBJECT fdo, const IoctlCase &ioctl, BufferKind kind, ULONG in, ULONG out,
                 std::string *problem) {
  DriverIrp irp;
  NTSTATUS returned;
  if (kind == BufferKind::Null) {
    returned = irp.IoctlWithoutBuffer(fdo, ioctl.code, in, out);
  } else {
    std::vector<uint8_t> input(in, 0);
    std::copy_n(ioctl.input.begin(), std::min<size_t>(in, ioctl.input.size()), input.begin());
    returned = irp.Ioctl(fdo, ioctl.code, input.data(), in, out);
  }
  Outcome o;
  o.pended = returned == STATUS_PENDING;
  if (!Finish(fdo, ioctl, irp)) {
    *problem = "never completed, even when cancelled";
    o.status = STATUS_PENDING;
    return o;  // the IRP's destructor waits: the machine reports the hang
  }
  o.status = irp.Status();
  o.information = irp.Information();
  if (!o.pended && returned != o.status)
    *problem = "returned " + StatusName(returned) + " but completed with " + StatusName(o.status);
  else if (!NT_SUCCESS(o.status) && o.information != 0)
    *problem = "failed with Information " + std::to_string(o.information);
  else if (NT_SUCCESS(o.status) && out != 0 && o.information > out)
    // The I/O manager copies Information bytes into the caller's output
    // buffer whenever there is one.
    *problem = "Information " + std::to_string(o.information) + " beyond the output buffer of " + std::to_string(out);
  else if (!DocumentedStatus(o.status))
    *problem = "undocumented status " + StatusName(o.status);
  return o;
}

}  // namespace

std::string BufferKindName(BufferKind kind) { return kind == BufferKind::Real ? "buffer" : "null"; }

OutcomeGrid Sweep(PDEVICE_OBJECT fdo, const IoctlCase &ioctl, BufferKind kind, const Lengths &lengths,
                  std::vector<std::string> *problems) {
  OutcomeGrid grid(lengths);
  for (ULONG in : lengths) {
    for (ULONG out : lengths) {
      std::string problem;
      grid.At(in, out) = SendCell(fdo, ioctl, kind, in, out, &problem);
      if (!problem.empty()) {
        problems->push_back(ioctl.name + " " + BufferKindName(kind) + " in " + std::to_string(in) + " out " +
                            std::to_string(out) + ": " + problem);
      }
    }
  }
  return grid;
}

}  // namespace badinput
