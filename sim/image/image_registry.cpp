// The images mapped now, and the checks their gates make.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <wdm.h>

#include "sim/image/image_runtime.h"
#include "sim/kernel/sim.h"

namespace sim {
namespace image {

void InstallFaultHandler();        // fault_handler.cpp
void EnterImageCode(uintptr_t routine, DriverThunk thunk, void *context);  // driver_stack_switch.cpp

namespace {

struct Mapped {
  Image *image;
  bool initGone;
};
std::vector<Mapped> g_images;

Mapped *Find(uintptr_t address) {
  for (Mapped &m : g_images)
    if (m.image->Contains(address)) return &m;
  return nullptr;
}

// Below this much room a kernel routine (and the interrupts and DPCs that
// would share the stack on Windows) could overrun it.
constexpr size_t kRoomForKernel = 1024;

std::string Caller(uintptr_t from, const void *routine) {
  return DescribeAddress(from) + " called " + ExportNameOf(routine);
}

void CheckPageable(const Section *s, uintptr_t from, const void *routine, const char *how) {
  if (s == nullptr || !s->pageable) return;
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL) return;
  ReportFault(Fault::PagedCodeAtDispatch, ExportNameOf(routine),
              "pageable code at DISPATCH_LEVEL: " + DescribeAddress(from) + " (section " + s->name + ") " + how + " " +
                  ExportNameOf(routine) + " at IRQL " + std::to_string(irql) +
                  "; code that runs at DISPATCH_LEVEL or holds a spin lock must not be in a PAGE section");
}

}  // namespace

void Register(Image *image) {
  InstallFaultHandler();
  SetImageCodeRunner(&EnterImageCode);
  g_images.push_back({image, false});
  AddImageCode(image->base, image->base + image->size);
}

void Unregister(Image *image) {
  RemoveImageCode(image->base);
  g_images.erase(std::remove_if(g_images.begin(), g_images.end(), [&](const Mapped &m) { return m.image == image; }),
                 g_images.end());
}

void DiscardInit(Image *image) {
  for (Mapped &m : g_images)
    if (m.image == image) m.initGone = true;
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (const Section &s : image->sections) {
    if (!s.discardable || s.begin % page != 0) continue;
    uintptr_t end = (s.end + page - 1) / page * page;
    // Only pages no other section shares.
    bool shared = false;
    for (const Section &o : image->sections)
      if (&o != &s && o.begin < end && o.end > s.begin) shared = true;
    if (!shared) mprotect(reinterpret_cast<void *>(s.begin), end - s.begin, PROT_NONE);
  }
}

bool InitDiscarded(uintptr_t address, const Section **section) {
  Mapped *m = Find(address);
  if (m == nullptr || !m->initGone) return false;
  const Section *s = m->image->SectionAt(address);
  if (s == nullptr || !s->discardable) return false;
  if (section) *section = s;
  return true;
}

const Image *ImageAt(uintptr_t address) {
  Mapped *m = Find(address);
  return m ? m->image : nullptr;
}

std::string DescribeAddress(uintptr_t address) {
  if (const Image *i = ImageAt(address)) return i->Describe(address);
  char text[24];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(address));
  return text;
}

void GateEnter(uintptr_t from, const void *routine, uintptr_t sp) {
  Mapped *m = Find(from);
  if (m == nullptr) return;
  const Section *s = m->image->SectionAt(from);
  if (m->initGone && s != nullptr && s->discardable)
    ReportFault(Fault::DiscardedCodeCalled, ExportNameOf(routine),
                Caller(from, routine) + " from section " + s->name +
                    ", which is discarded once DriverEntry returns; code used later must not be in INIT");
  DriverStack *stack = CurrentDriverStack();
  if (stack != nullptr && sp > reinterpret_cast<uintptr_t>(stack->base) &&
      sp <= reinterpret_cast<uintptr_t>(stack->top) && sp - reinterpret_cast<uintptr_t>(stack->base) < kRoomForKernel)
    ReportFault(Fault::DriverStackOverflow, ExportNameOf(routine),
                Caller(from, routine) + " with " + std::to_string(sp - reinterpret_cast<uintptr_t>(stack->base)) +
                    " bytes of the 12 KiB kernel stack left (entered at " + DescribeAddress(stack->entryRoutine) +
                    "); the kernel routine needs more");
}

// Checked when the routine returns, not when it is called: the code at the
// return address resumes at the IRQL the routine leaves. A resident helper
// that tail-calls KfReleaseSpinLock enters it at DISPATCH_LEVEL with a
// pageable caller's return address, yet that caller resumes at PASSIVE_LEVEL.
void GateLeave(uintptr_t from, const void *routine) {
  Mapped *m = Find(from);
  if (m == nullptr) return;
  CheckPageable(m->image->SectionAt(from), from, routine, "returned from");
}

}  // namespace image
}  // namespace sim
