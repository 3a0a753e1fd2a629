#include "machine_knobs.h"

#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"

namespace stress {

using sim::usb::RequestKind;

namespace {

std::vector<uint32_t> UrbCounts(sim::World &world) {
  std::vector<uint32_t> counts(sim::usb::kRequestKinds, 0);
  if (sim::usb::Device *modem = world.Modem())
    for (int k = 0; k < sim::usb::kRequestKinds; ++k) counts[k] = modem->Count(RequestKind(k));
  return counts;
}

}  // namespace

int UrbKindCount() { return sim::usb::kRequestKinds; }
const char *UrbKindName(int kind) { return sim::usb::KindName(RequestKind(kind)); }

uint64_t SchedulePointsNow() { return sim::SchedulePoints(); }

ReachMark MarkReach(sim::World &world) {
  ReachMark mark;
  mark.allocations = sim::pool::DriverAllocations();
  mark.urbs = UrbCounts(world);
  mark.points = sim::SchedulePoints();
  return mark;
}

Reach Since(sim::World &world, const ReachMark &mark) {
  Reach reach;
  reach.allocations = sim::pool::DriverAllocations() - mark.allocations;
  reach.urbs = UrbCounts(world);
  for (size_t k = 0; k < reach.urbs.size(); ++k) reach.urbs[k] -= mark.urbs[k];
  return reach;
}

void ArmBeforeOpen(sim::World &world, const Plan &plan) {
  sim::usb::Device *modem = world.Modem();
  RequestKind kind = RequestKind(plan.urbKind);
  switch (plan.kind) {
    case PlanKind::FailPool:
      sim::pool::FailNth(plan.k);
      break;
    case PlanKind::FailUrb:
      modem->FailNth(kind, uint32_t(plan.k), STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
      break;
    case PlanKind::StallUrb:
      modem->FailNth(kind, uint32_t(plan.k), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      break;
    case PlanKind::NoAnswerUrb:
      modem->NoAnswerNth(kind, uint32_t(plan.k));
      break;
    case PlanKind::BulkOutLimit:
      modem->SetBulkOutLimit(uint32_t(plan.k));
      break;
    default:
      break;
  }
}

void ArmBeforeTraffic(sim::World &world, const Plan &plan) {
  if (plan.kind == PlanKind::UnplugAt) world.Modem()->UnplugAtSchedulePoint(plan.k);
}

bool ModemUnplugged(sim::World &world) { return world.Modem() != nullptr && world.Modem()->Unplugged(); }

}  // namespace stress
