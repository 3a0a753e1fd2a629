// KeSetEvent(Wait = TRUE): the caller keeps DISPATCH_LEVEL (and, on Windows,
// the dispatcher lock) until the KeWaitFor* call that must come next, which
// returns it to the IRQL it had before KeSetEvent.
#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

void Unpaid(SimThread *t, const char *routine, const std::string &what) {
  ReportFault(Fault::SetEventWaitNotFollowed, routine,
              ThreadLabel(t) + " " + what +
                  " after KeSetEvent with Wait = TRUE; only KeWaitForSingleObject or KeWaitForMultipleObjects "
                  "may follow it");
  // Back at its own IRQL, the thread goes on without a second fault.
  PayOwedWait(t);
}

}  // namespace

void OweWait(SimThread *t) {
  t->waitOwed = true;
  t->irqlBeforeSetEvent = t->irql;
  if (t->irql < DISPATCH_LEVEL) t->irql = DISPATCH_LEVEL;
}

void PayOwedWait(SimThread *t) {
  if (!t->waitOwed) return;
  t->waitOwed = false;
  t->irql = t->irqlBeforeSetEvent;
}

void CheckNoWaitOwed(SimThread *t, const char *routine) {
  if (!t->waitOwed) return;
  if (routine != nullptr)
    Unpaid(t, routine, std::string("calls ") + routine);
  else
    Unpaid(t, "KeSetEvent", "calls another kernel routine (or returns to one)");
}

void CheckNoWaitOwedAtReturn(SimThread *t, const char *routine) {
  if (t->waitOwed) Unpaid(t, routine, std::string("returns from ") + routine);
}

}  // namespace sim
