// The I/O side's part in each kernel's life: a clean slate when a kernel is
// made, and the leak checks when it shuts down.
#include "io_private.h"
#include "sim/kernel/pool.h"

namespace sim {
namespace io {
namespace {

void Reset() {
  ResetFiles();
  ResetIrps();
  ResetDevices();
  ResetNamespace();
  ResetMdlKnob();
  ResetPoolKnobs();
  ReleaseAllPool();
  KeInitializeSpinLock(&CancelLock());
}

void Teardown() {
  TeardownIrps();
  pool::ReportLeaks("kernel teardown");
}

const bool registered = RegisterSubsystem({"I/O manager and pool", Reset, Teardown});

}  // namespace
}  // namespace io
}  // namespace sim
