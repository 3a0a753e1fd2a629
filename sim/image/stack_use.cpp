// The deepest driver stack use per entry point: the stack is painted before
// the kernel enters the driver with it empty, and the untouched part
// measured when the driver returns.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/image/image_runtime.h"

namespace sim {
namespace image {
namespace {

constexpr uint32_t kPaint = 0xdeadbeefu;

struct Use {
  size_t deepest = 0;
  uint64_t calls = 0;
};
// Never destroyed: the report is written at exit, after static destructors
// may have run.
std::map<std::string, Use> &Uses() {
  static auto *uses = new std::map<std::string, Use>;
  return *uses;
}

std::string EntryName(uintptr_t entry) {
  if (const Image *i = ImageAt(entry))
    if (const Symbol *s = i->SymbolAt(entry)) return s->name;
  return DescribeAddress(entry);
}

void WriteAtExit() {
  if (const char *path = std::getenv("USBMODEM_STACK_REPORT")) WriteStackReport(path);
}

}  // namespace

void PaintStack(DriverStack *stack) {
  static bool reportAtExit = (std::atexit(WriteAtExit), true);
  (void)reportAtExit;
  for (uint32_t *w = reinterpret_cast<uint32_t *>(stack->base); w < reinterpret_cast<uint32_t *>(stack->top); ++w)
    *w = kPaint;
}

void RecordStackUse(DriverStack *stack, uintptr_t entry) {
  const uint32_t *w = reinterpret_cast<const uint32_t *>(stack->base);
  const uint32_t *top = reinterpret_cast<const uint32_t *>(stack->top);
  while (w < top && *w == kPaint) ++w;
  size_t used = static_cast<size_t>(reinterpret_cast<const uint8_t *>(top) - reinterpret_cast<const uint8_t *>(w));
  Use &u = Uses()[EntryName(entry)];
  u.deepest = std::max(u.deepest, used);
  ++u.calls;
}

std::vector<StackUse> DeepestStackUse() {
  std::vector<StackUse> table;
  for (const auto &e : Uses()) table.push_back({e.first, e.second.deepest, e.second.calls});
  std::sort(table.begin(), table.end(), [](const StackUse &a, const StackUse &b) {
    return a.deepestBytes != b.deepestBytes ? a.deepestBytes > b.deepestBytes : a.entry < b.entry;
  });
  return table;
}

void ResetStackUse() { Uses().clear(); }

void WriteStackReport(const char *path) {
  FILE *f = std::fopen(path, "w");
  if (f == nullptr) {
    std::perror(path);
    return;
  }
  std::fprintf(f, "%-40s %8s %10s\n", "entry point", "bytes", "calls");
  for (const StackUse &u : DeepestStackUse())
    std::fprintf(f, "%-40s %8zu %10llu\n", u.entry.c_str(), u.deepestBytes, static_cast<unsigned long long>(u.calls));
  std::fprintf(f, "(of a %zu-byte driver stack)\n", kDriverStackBytes);
  std::fclose(f);
}

}  // namespace image
}  // namespace sim
