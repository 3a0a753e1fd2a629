// Policies and queries for a scripted lower device under a running reader:
// bulk-in transfers stay pending for the test to answer, everything else is
// answered at once.
#pragma once

#include <cstddef>

#include "support/scripted_lower.h"

namespace testing_support {

constexpr size_t kNone = static_cast<size_t>(-1);

bool IsBulkIn(const UrbSeen &s);
bool IsBulkOut(const UrbSeen &s);
bool IsStatusPoll(const UrbSeen &s);
bool IsSetDtr(const UrbSeen &s);

// Bulk-in transfers pend (cancelled as `cancel` says); a status request gets
// the byte `status`; anything else succeeds at once.
ScriptedLower::Policy PendBulkIn(UrbReply::CancelMode cancel = UrbReply::CancelAtOnce, UCHAR status = 0);

// Index of the n-th bulk-in transfer (1 = the first) once it has arrived;
// kNone if it does not come within timeoutMs of virtual time.
size_t WaitBulkIn(ScriptedLower &lower, size_t n, uint64_t timeoutMs = 100);
size_t CountStatusPolls(const ScriptedLower &lower);
// Index of the latest bulk-out transfer, or kNone: a status poll may have come after it.
size_t LastBulkOut(const ScriptedLower &lower);

}  // namespace testing_support
