#include "plan.h"

#include <cstdlib>
#include <vector>

namespace stress {

namespace {

// RequestKind's names in its order (sim::usb::KindName spells the same).
const char *const kUrbKinds[] = {"GetDescriptor", "SelectConfiguration", "ResetPipe", "SetDtr", "GetStatus",
                                 "VendorOther",   "BulkOut",             "BulkIn",    "Invalid"};
constexpr int kUrbKindCount = sizeof(kUrbKinds) / sizeof(kUrbKinds[0]);

struct Family {
  PlanKind kind;
  const char *name;
  bool urb;  // takes a URB kind before k
};

const Family kFamilies[] = {
    {PlanKind::None, "none", false},
    {PlanKind::FailPool, "fail-pool", false},
    {PlanKind::FailUrb, "fail-urb", true},
    {PlanKind::StallUrb, "stall-urb", true},
    {PlanKind::NoAnswerUrb, "no-answer-urb", true},
    {PlanKind::BulkOutLimit, "bulk-out-limit", false},
    {PlanKind::UnplugAt, "unplug-at", false},
    {PlanKind::CancelStorm, "cancel-storm", false},
    {PlanKind::SleepDuringTraffic, "sleep", false},
};

const Family &FamilyOf(PlanKind kind) {
  for (const Family &f : kFamilies)
    if (f.kind == kind) return f;
  return kFamilies[0];
}

std::vector<std::string> Split(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

bool ParseNumber(const std::string &text, uint64_t *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  *value = std::strtoull(text.c_str(), &end, 10);
  return *end == '\0';
}

}  // namespace

std::string PlanFamily(const Plan &plan) { return FamilyOf(plan.kind).name; }

std::string PlanName(const Plan &plan) {
  const Family &f = FamilyOf(plan.kind);
  if (plan.kind == PlanKind::None) return f.name;
  std::string name = f.name;
  if (f.urb) name += std::string(":") + kUrbKinds[plan.urbKind];
  return name + ":" + std::to_string(plan.k);
}

bool ParsePlan(const std::string &text, Plan *plan) {
  std::vector<std::string> parts = Split(text);
  for (const Family &f : kFamilies) {
    if (parts[0] != f.name) continue;
    Plan p;
    p.kind = f.kind;
    if (f.kind == PlanKind::None) {
      if (parts.size() != 1) return false;
      *plan = p;
      return true;
    }
    if (parts.size() != (f.urb ? 3u : 2u)) return false;
    if (f.urb) {
      p.urbKind = -1;
      for (int i = 0; i < kUrbKindCount; ++i)
        if (parts[1] == kUrbKinds[i]) p.urbKind = i;
      if (p.urbKind < 0) return false;
    }
    if (!ParseNumber(parts.back(), &p.k) || p.k == 0) {
      // Variants count from 0; positions and sizes from 1.
      if (!(ParseNumber(parts.back(), &p.k) &&
            (f.kind == PlanKind::CancelStorm || f.kind == PlanKind::SleepDuringTraffic)))
        return false;
    }
    if (f.kind == PlanKind::CancelStorm && p.k >= kCancelStormVariants) return false;
    if (f.kind == PlanKind::SleepDuringTraffic && p.k >= kSleepVariants) return false;
    *plan = p;
    return true;
  }
  return false;
}

bool ReceiveIsLossless(const Plan &plan) {
  switch (plan.kind) {
    case PlanKind::None:
    case PlanKind::BulkOutLimit:
      return true;
    case PlanKind::FailUrb:
    case PlanKind::StallUrb:
    case PlanKind::NoAnswerUrb:
      // A failed IN may take its packets with it; an unanswered one holds
      // the stream up until the reads give up.
      return kUrbKinds[plan.urbKind] != std::string("BulkIn");
    default:
      return false;
  }
}

bool DeviceStays(const Plan &plan) { return plan.kind != PlanKind::UnplugAt; }

}  // namespace stress
