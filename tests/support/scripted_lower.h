// A lower device of the test's own: every URB sent to it is shown to a policy
// that decides its fate (answer at once, pend for the test to answer, answer
// from a timer DPC, honour or ignore cancellation). Lets a test place the
// device's answer exactly where it wants relative to the driver's waits.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <wdm.h>
#include <usb.h>

namespace testing_support {

// One URB as it reached the device, and how it was answered.
struct UrbSeen {
  USHORT function = 0;
  USHORT length = 0;  // header Length
  USBD_PIPE_HANDLE pipe = nullptr;
  ULONG transferFlags = 0;
  ULONG transferLength = 0;
  PVOID transferBuffer = nullptr;
  UCHAR requestTypeBits = 0;
  UCHAR request = 0;
  USHORT value = 0;
  USHORT index = 0;
  uint64_t arrivedMs = 0;

  bool answered = false;
  NTSTATUS answer = 0;
  bool cancelFlagAtAnswer = false;   // Irp->Cancel when the device answered
  bool answeredInCancelRoutine = false;
  bool cancelRoutineRan = false;
  uint64_t answeredMs = 0;
};

struct UrbReply {
  enum Kind {
    Complete,       // answer inside the dispatch routine
    Pend,           // wait for Answer() (or for cancellation)
    CompleteAfter,  // answer from a timer DPC delayMs after arrival
  };
  enum CancelMode {
    NotCancelable,       // IoCancelIrp has no effect on it
    CancelAtOnce,        // the cancel routine answers STATUS_CANCELLED inside IoCancelIrp
    CancelLater,         // the cancel routine arms a timer; its DPC answers STATUS_CANCELLED
  };
  Kind kind = Complete;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;  // bytes delivered to a transfer from the device
  uint64_t delayMs = 0;       // CompleteAfter: after arrival; CancelLater: after the cancel
  CancelMode cancel = CancelAtOnce;

  static UrbReply Now(NTSTATUS s, std::vector<uint8_t> d = {}) {
    UrbReply r;
    r.status = s;
    r.data = std::move(d);
    return r;
  }
  static UrbReply Pending(CancelMode c = CancelAtOnce) {
    UrbReply r;
    r.kind = Pend;
    r.cancel = c;
    return r;
  }
  static UrbReply After(uint64_t ms, NTSTATUS s, std::vector<uint8_t> d = {}, CancelMode c = CancelAtOnce) {
    UrbReply r;
    r.kind = CompleteAfter;
    r.delayMs = ms;
    r.status = s;
    r.data = std::move(d);
    r.cancel = c;
    return r;
  }
};

class ScriptedLower {
 public:
  using Policy = std::function<UrbReply(const UrbSeen &)>;

  // Creates the driver object and the device; call from a simulated thread.
  ScriptedLower();
  // Answers whatever is still pending with STATUS_CANCELLED, then deletes.
  ~ScriptedLower();
  ScriptedLower(const ScriptedLower &) = delete;
  ScriptedLower &operator=(const ScriptedLower &) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  // Default policy: every URB succeeds at once with no data.
  void SetPolicy(Policy p) { policy_ = std::move(p); }

  size_t Count() const { return entries_.size(); }
  const UrbSeen &Seen(size_t i) const;
  // Number of URBs still waiting for an answer.
  size_t PendingCount() const;
  // Answers pending URB i from the calling context. FALSE when it is no longer
  // the test's to answer (already answered, or its cancel routine owns it).
  bool Answer(size_t i, NTSTATUS status, const std::vector<uint8_t> &data = {});
  // Waits until at least n URBs have arrived; FALSE after timeoutMs of virtual time.
  bool WaitForCount(size_t n, uint64_t timeoutMs);
  // Waits until URB i has been answered; FALSE after timeoutMs.
  bool WaitAnswered(size_t i, uint64_t timeoutMs);

  struct Entry;

 private:
  NTSTATUS OnUrb(PIRP irp);
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT dev, PIRP irp);
  static NTSTATUS NTAPI DispatchPnpOrPower(PDEVICE_OBJECT dev, PIRP irp);
  static VOID NTAPI Cancel(PDEVICE_OBJECT dev, PIRP irp);
  static VOID NTAPI TimerDpc(PKDPC, PVOID ctx, PVOID, PVOID);
  bool Claim(Entry *e);
  void Deliver(Entry *e, NTSTATUS status, const std::vector<uint8_t> &data, bool inCancel);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  Policy policy_;
  std::deque<std::unique_ptr<Entry>> entries_;
  KEVENT changed_;  // set on every arrival and answer
  KSPIN_LOCK lock_;  // who answers an entry
};

}  // namespace testing_support
