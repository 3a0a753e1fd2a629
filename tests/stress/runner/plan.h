// What a stress run does to the machine beside the scenario: one fault plan,
// named as the command line names it (e.g. "fail-urb:BulkOut:3").
#pragma once

#include <cstdint>
#include <string>

namespace stress {

enum class PlanKind {
  None,          // the clean run, also the census of what the others may target
  FailPool,      // the k-th driver pool allocation from the open on fails
  FailUrb,       // the k-th URB of a kind fails (device not responding)
  StallUrb,      // the k-th URB of a kind stalls (halts a bulk pipe)
  NoAnswerUrb,   // the k-th URB of a kind is never answered
  BulkOutLimit,  // every bulk OUT takes at most `k` bytes
  UnplugAt,      // the modem is pulled at the k-th schedule point of the traffic
  CancelStorm,   // another thread cancels, purges or closes during the traffic (variant k)
  SleepDuringTraffic,  // the system goes to S3 and back during the traffic (variant k)
};

struct Plan {
  PlanKind kind = PlanKind::None;
  int urbKind = 0;  // sim::usb::RequestKind, for the URB plans
  uint64_t k = 0;
};

constexpr uint64_t kCancelStormVariants = 3;  // CancelIo, PurgeComm, CloseHandle
constexpr uint64_t kSleepVariants = 2;        // from the writer's side, from a third thread

// "none", "fail-pool:K", "fail-urb:KIND:K", "stall-urb:KIND:K",
// "no-answer-urb:KIND:K", "bulk-out-limit:BYTES", "unplug-at:N",
// "cancel-storm:V", "sleep:V".
std::string PlanName(const Plan &plan);
bool ParsePlan(const std::string &text, Plan *plan);
// The family a plan belongs to ("fail-urb"), for --plans filters.
std::string PlanFamily(const Plan &plan);

// Whether every byte written must come back: no fault in the plan lets the
// receive side drop anything.
bool ReceiveIsLossless(const Plan &plan);
// Whether the modem is still there at the end.
bool DeviceStays(const Plan &plan);

}  // namespace stress
