// Which KEVENTs were initialised. A zero-filled KEVENT reads as an
// unsignalled notification event, so only a record of KeInitializeEvent's
// calls tells it from one that was set up; freeing memory forgets what lay
// in it.
#include "sim/kernel/src/sched_internal.h"

namespace sim {

void RecordEvent(const void *event) {
  KernelState *s = State();
  if (s != nullptr) s->initialisedEvents.insert(reinterpret_cast<uintptr_t>(event));
}

bool CheckEventInitialised(const void *event, const char *routine) {
  KernelState *s = State();
  if (s == nullptr || s->initialisedEvents.count(reinterpret_cast<uintptr_t>(event))) return true;
  char address[32];
  std::snprintf(address, sizeof address, "%p", event);
  ReportFault(Fault::EventNotInitialized, routine,
              std::string("KEVENT ") + address +
                  " was never initialised with KeInitializeEvent, or its memory was freed since");
  return false;
}

namespace internal {

void ForgetEvents(const void *begin, size_t size) {
  KernelState *s = State();
  if (s == nullptr) return;
  auto first = reinterpret_cast<uintptr_t>(begin);
  std::set<uintptr_t> &events = s->initialisedEvents;
  events.erase(events.lower_bound(first), events.lower_bound(first + size));
}

}  // namespace internal
}  // namespace sim
