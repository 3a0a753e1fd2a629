// Device interrupts at exact virtual times. A device model (the USB host
// controller's frame timer, say) asks for one; when the time comes, on
// whichever processor's step crosses it or when the machine idles up to it,
// the interrupt's DPC is queued on a processor the seed picks.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {

void FireDueInterrupts() {
  KernelState *s = State();
  for (;;) {
    auto first = std::min_element(s->interrupts.begin(), s->interrupts.end(),
                                  [](const PendingInterrupt &a, const PendingInterrupt &b) {
                                    return a.due != b.due ? a.due < b.due : a.seq < b.seq;
                                  });
    if (first == s->interrupts.end() || first->due > s->now) return;
    PendingInterrupt due = *first;
    s->interrupts.erase(first);
    if (TraceEnabled()) Trace("interrupt D" + std::to_string(StableId(due.dpc)));
    QueueDpcFromKernel(due.dpc, due.arg1, due.arg2);
  }
}

uint64_t NextInterruptDue() {
  KernelState *s = State();
  uint64_t r = UINT64_MAX;
  for (const PendingInterrupt &i : s->interrupts) r = std::min(r, i.due);
  return r;
}

bool RequestInterrupt(uint64_t due100ns, PKDPC dpc, PVOID arg1, PVOID arg2) {
  KernelState *s = State();
  if (s == nullptr || dpc == nullptr) {
    ReportFault(Fault::InvalidParameter, "RequestInterrupt", "no kernel, or no DPC");
    return false;
  }
  bool awaiting = std::any_of(s->interrupts.begin(), s->interrupts.end(),
                              [dpc](const PendingInterrupt &i) { return i.dpc == dpc; });
  if (awaiting) return false;
  RaceRelease(dpc);
  s->interrupts.push_back(PendingInterrupt{std::max(due100ns, s->now), ++s->interruptSeq, dpc, arg1, arg2});
  return true;
}

bool CancelInterrupt(PKDPC dpc) {
  KernelState *s = State();
  if (s == nullptr) return false;
  auto it = std::find_if(s->interrupts.begin(), s->interrupts.end(),
                         [dpc](const PendingInterrupt &i) { return i.dpc == dpc; });
  if (it == s->interrupts.end()) return false;
  s->interrupts.erase(it);
  return true;
}

}  // namespace sim
