#include "support/reader_lower.h"

#include <usbdi.h>

#include "driver/driver.h"
#include "sim/kernel/sim.h"

namespace testing_support {

bool IsBulkIn(const UrbSeen &s) {
  return s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && (s.transferFlags & USBD_TRANSFER_DIRECTION_IN);
}

bool IsBulkOut(const UrbSeen &s) {
  return s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !(s.transferFlags & USBD_TRANSFER_DIRECTION_IN);
}

bool IsStatusPoll(const UrbSeen &s) {
  return s.function == URB_FUNCTION_VENDOR_DEVICE && s.request == VENDOR_REQUEST_GET_STATUS;
}

bool IsSetDtr(const UrbSeen &s) {
  return s.function == URB_FUNCTION_VENDOR_DEVICE && s.request == VENDOR_REQUEST_SET_DTR;
}

ScriptedLower::Policy PendBulkIn(UrbReply::CancelMode cancel, UCHAR status) {
  return [cancel, status](const UrbSeen &s) {
    if (IsBulkIn(s)) return UrbReply::Pending(cancel);
    if (IsStatusPoll(s)) return UrbReply::Now(STATUS_SUCCESS, {status});
    return UrbReply::Now(STATUS_SUCCESS);
  };
}

static size_t NthBulkIn(const ScriptedLower &lower, size_t n) {
  size_t seen = 0;
  for (size_t i = 0; i < lower.Count(); ++i) {
    if (IsBulkIn(lower.Seen(i)) && ++seen == n) return i;
  }
  return kNone;
}

size_t WaitBulkIn(ScriptedLower &lower, size_t n, uint64_t timeoutMs) {
  uint64_t end = sim::NowMs() + timeoutMs;
  for (;;) {
    size_t i = NthBulkIn(lower, n);
    if (i != kNone) {
      // The lower device records a URB before it has armed it; let the
      // sender finish handing it over before the test answers it.
      LARGE_INTEGER settle;
      settle.QuadPart = -1;
      KeDelayExecutionThread(KernelMode, FALSE, &settle);
      return i;
    }
    uint64_t now = sim::NowMs();
    if (now >= end) return kNone;
    if (!lower.WaitForCount(lower.Count() + 1, end - now)) return NthBulkIn(lower, n);
  }
}

size_t CountStatusPolls(const ScriptedLower &lower) {
  size_t n = 0;
  for (size_t i = 0; i < lower.Count(); ++i) n += IsStatusPoll(lower.Seen(i)) ? 1 : 0;
  return n;
}

size_t LastBulkOut(const ScriptedLower &lower) {
  for (size_t i = lower.Count(); i-- > 0;)
    if (IsBulkOut(lower.Seen(i))) return i;
  return kNone;
}

}  // namespace testing_support
