// What a driver holds of the machine at one moment, for tests that check a
// long run gives everything back cycle after cycle, not only at teardown.
#include "io_private.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/sched_internal.h"

namespace sim {

Census TakeCensus() {
  Census c;
  KernelState *s = State();
  if (s == nullptr) return c;
  c.driverPoolBlocks = pool::OutstandingTotal();
  c.irps = io::LiveIrps().size();
  c.handles = s->handles.size();
  for (const auto &t : s->threads)
    if (t->kind == SimThread::Kind::System && t->state != SimThread::State::Finished) ++c.systemThreads;
  return c;
}

}  // namespace sim
