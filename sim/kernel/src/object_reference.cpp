// ObReferenceObject and ObDereferenceObject on the I/O side's objects:
// device objects (deletion waits for the last reference) and file objects.
#include "io_private.h"

namespace sim {
namespace io {
namespace {

LONG_PTR Reference(PVOID object, LONG delta) {
  if (DeviceRecord *d = FindDevice(static_cast<PDEVICE_OBJECT>(object))) {
    if (d->references + delta < 0) {
      ReportFault(Fault::InvalidParameter, "ObfDereferenceObject", d->name + " dereferenced more than referenced");
      return 0;
    }
    d->references += delta;
    LONG_PTR now = d->references;
    if (delta < 0) DeviceReleased(static_cast<PDEVICE_OBJECT>(object));
    return now;
  }
  if (FileRecord *f = FindFile(object)) {
    if (delta > 0) {
      f->references += delta;
      return f->references;
    }
    LONG_PTR now = f->references - 1;
    ReleaseFile(f);
    return now;
  }
  ReportFault(Fault::InvalidParameter, delta > 0 ? "ObfReferenceObject" : "ObfDereferenceObject",
              "object " + Hex((uintptr_t)object) + " is not one the kernel knows");
  return 0;
}

const bool hooked = (internal::SetObjectReferenceHook(Reference), true);

}  // namespace
}  // namespace io
}  // namespace sim
