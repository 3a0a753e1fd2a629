// What the user-mode entry's files share. Host only.
#pragma once

#include <memory>

#include "io_private.h"

namespace sim {
namespace io {

FileRecord *FileFromHandle(HANDLE h);
// An IRP for a request on the file, addressed to the top of the device's
// stack with its next stack location filled in. When the caller `wait`s,
// status block and event are the request's own (the caller's event is set
// too); otherwise completion fills the caller's and sets its event.
// `holds` counts the request as a reference on the file object.
PIRP NewUserIrp(FileRecord *f, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb,
                std::shared_ptr<UserRequest> *req, bool holds, bool wait);
// Sends it; when waited for, waits for completion and fills *iosb.
NTSTATUS Issue(FileRecord *f, PIRP irp, const std::shared_ptr<UserRequest> &req, PIO_STATUS_BLOCK iosb);

}  // namespace io
}  // namespace sim
