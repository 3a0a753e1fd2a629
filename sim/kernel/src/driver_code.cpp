// Driver stacks and the code ranges of mapped images (sim/kernel/driver_code.h).
#include "sim/kernel/driver_code.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

std::set<DriverStack *> &AllStacks() {
  static std::set<DriverStack *> stacks;
  return stacks;
}

std::vector<std::pair<uintptr_t, uintptr_t>> g_imageCode;
ImageCodeRunner g_runner = nullptr;

struct Release {
  _DRIVER_OBJECT *driver;
  void (*release)(void *);
  void *context;
};
std::vector<Release> g_releases;

}  // namespace

DriverStack::DriverStack() {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  mappingBytes = kDriverStackBytes + page;
  mapping = mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    std::perror("sim: driver stack");
    std::abort();
  }
  mprotect(mapping, page, PROT_NONE);  // an overflow faults at once
  base = static_cast<uint8_t *>(mapping) + page;
  top = base + kDriverStackBytes;
  AllStacks().insert(this);
}

DriverStack::~DriverStack() {
  AllStacks().erase(this);
  munmap(mapping, mappingBytes);
}

bool DriverStack::InGuard(uintptr_t address) const {
  return address >= reinterpret_cast<uintptr_t>(mapping) && address < reinterpret_cast<uintptr_t>(base);
}

DriverStack *CurrentDriverStack() {
  SimThread *t = Current();
  if (!t->driverStack) t->driverStack = std::make_unique<DriverStack>();
  return t->driverStack.get();
}

DriverStack *DriverStackGuarding(uintptr_t address) {
  for (DriverStack *s : AllStacks())
    if (s->InGuard(address)) return s;
  return nullptr;
}

void AddImageCode(uintptr_t begin, uintptr_t end) { g_imageCode.emplace_back(begin, end); }

void RemoveImageCode(uintptr_t begin) {
  for (auto it = g_imageCode.begin(); it != g_imageCode.end(); ++it)
    if (it->first == begin) {
      g_imageCode.erase(it);
      return;
    }
}

bool IsImageCode(uintptr_t address) {
  for (const auto &r : g_imageCode)
    if (address >= r.first && address < r.second) return true;
  return false;
}

void WhenDriverUnloaded(_DRIVER_OBJECT *driver, void (*release)(void *context), void *context) {
  g_releases.push_back({driver, release, context});
}

void ReleaseDriverCode(_DRIVER_OBJECT *driver) {
  for (auto it = g_releases.begin(); it != g_releases.end(); ++it)
    if (it->driver == driver) {
      Release r = *it;
      g_releases.erase(it);
      r.release(r.context);
      return;
    }
}

void SetImageCodeRunner(ImageCodeRunner runner) { g_runner = runner; }

void RunImageCode(uintptr_t routine, DriverThunk thunk, void *context) {
  if (g_runner == nullptr) {
    std::fprintf(stderr, "sim: image code called with no image runtime linked\n");
    std::abort();
  }
  g_runner(routine, thunk, context);
}

}  // namespace sim
