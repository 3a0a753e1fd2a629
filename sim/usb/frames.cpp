// Frames and packets. A full-speed frame carries at most 19 bulk packets of
// 64 bytes, one after another, shared by the device's pipes; a transfer's
// packets take the first free slots from the moment it goes on the wire, and
// it is answered at the end of the frame that carried its last one. What an
// IN transfer carries is fixed when it goes on the wire: what the device has
// then, up to the transfer's length.
#include <algorithm>

#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

namespace {

// The first packet slot that starts at or after `t`.
uint64_t SlotAt(uint64_t t) { return (t * kPacketsPerFrame + kFrame100ns - 1) / kFrame100ns; }

uint64_t FrameEndOfSlot(uint64_t slot) { return (slot / kPacketsPerFrame + 1) * kFrame100ns; }

uint64_t PacketsOf(uint64_t bytes, uint64_t packet) { return std::max<uint64_t>(1, (bytes + packet - 1) / packet); }

// Error codes whose top two bits are set halt the endpoint in the host
// controller, except a cancellation and a device that is gone.
bool Halts(const Outcome &o) {
  return (ULONG(o.usbd) >> 30) == 3 && o.usbd != USBD_STATUS_CANCELED && o.usbd != USBD_STATUS_DEVICE_GONE;
}

}  // namespace

uint64_t DeviceImpl::PlacePackets(uint64_t packets) {
  uint64_t start = std::max(busFreeSlot_, SlotAt(Now100ns()));
  busFreeSlot_ = start + packets;
  return FrameEndOfSlot(busFreeSlot_ - 1);
}

// A control transfer ends a seeded 1-3 frames from now (the end of this
// frame counts as the first), or after the latency a test set for its kind.
uint64_t DeviceImpl::ControlDue(RequestKind kind) {
  uint64_t now = Now100ns();
  uint32_t latency = latencyMs_[int(kind)];
  if (latency != 0) {
    uint64_t at = now + uint64_t(latency) * kFrame100ns;
    return (at + kFrame100ns - 1) / kFrame100ns * kFrame100ns;
  }
  uint64_t span = controlFramesMax_ >= controlFramesMin_ ? controlFramesMax_ - controlFramesMin_ + 1 : 1;
  uint64_t frames = controlFramesMin_ + DeviceRandom(span);
  return (now / kFrame100ns + frames) * kFrame100ns;
}

// The head of each pipe goes on the wire when it can: not while the pipe is
// halted, and an IN only when the device has something to send.
void DeviceImpl::StartPipes() {
  for (const std::unique_ptr<Pipe> &pipe : pipes_) {
    if (!pipe->open || pipe->halted) continue;
    for (Request &r : pending_) {
      if (r.pipe != pipe.get()) continue;
      if (r.phase == Request::Phase::Queued && !r.cancelling) StartTransfer(r);
      break;  // only the head of the pipe
    }
  }
}

bool DeviceImpl::StartTransfer(Request &r) {
  const struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = r.urb->UrbBulkOrInterruptTransfer;
  uint64_t packetSize = r.pipe->maxPacket != 0 ? r.pipe->maxPacket : 64;
  bool endpointStalls = stalledEndpoints_.count(r.pipe->endpoint) != 0 ||
                        (r.pipe->endpoint != 0x01 && r.pipe->endpoint != 0x81);
  ULONG packets = 1;
  if (!r.failed && endpointStalls) {
    r.failed = true;
    r.failure = kStall;
  }
  if (!r.failed && r.kind == RequestKind::BulkOut) {
    uint64_t accepted = b.TransferBufferLength;
    if (bulkOutLimit_ >= 0) accepted = std::min<uint64_t>(accepted, uint64_t(bulkOutLimit_));
    packets = ULONG(PacketsOf(accepted, packetSize));
  } else if (!r.failed && !StartIn(r, b.TransferBufferLength, &packets)) {
    return false;  // the device NAKs until it has data
  }
  r.phase = Request::Phase::OnTheWire;
  r.due = PlacePackets(packets) + uint64_t(latencyMs_[int(r.kind)]) * kFrame100ns;
  if (log_[r.logIndex].due100ns == 0) log_[r.logIndex].due100ns = r.due;
  return true;
}

// The device's reply is what it has now. A short packet ends the transfer;
// a reply of whole packets ends with a zero-length packet when the device
// sends one, and otherwise the transfer waits for more. A zero-length packet
// owed by the last reply ends the next transfer with no data.
bool DeviceImpl::StartIn(Request &r, ULONG length, ULONG *packets) {
  uint64_t packetSize = r.pipe->maxPacket != 0 ? r.pipe->maxPacket : 64;
  ULONG room = length - r.received;
  r.ends = true;
  r.staged.clear();
  if (zlpOwed_ || room == 0) {
    zlpOwed_ = false;
    *packets = 1;
    return true;
  }
  size_t available = model_->PendingIn();
  if (available == 0) return false;
  ULONG take = ULONG(std::min<size_t>(room, available));
  r.staged.resize(take);
  r.staged.resize(model_->TakeIn(r.staged.data(), take));
  take = ULONG(r.staged.size());
  *packets = ULONG(PacketsOf(take, packetSize));
  bool whole = take % packetSize == 0;
  if (take == room) {
    if (whole && take == available && zeroLengthPackets_) zlpOwed_ = true;
  } else if (whole) {
    if (zeroLengthPackets_) {
      *packets += 1;
    } else {
      r.ends = false;
    }
  }
  return true;
}

// At the end of the frame that carried its last packet. A failure halts the
// pipe when the stack would halt it, as a short reply that the transfer did
// not allow does.
Outcome DeviceImpl::EndTransfer(Request &r) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = r.urb->UrbBulkOrInterruptTransfer;
  PUCHAR buffer = static_cast<PUCHAR>(TransferAddress(b.TransferBuffer, b.TransferBufferMDL));
  Outcome o = kSuccess;
  if (r.failed) {
    o = r.failure;
  } else if (r.kind == RequestKind::BulkOut) {
    ULONG accepted = b.TransferBufferLength;
    if (bulkOutLimit_ >= 0 && accepted > bulkOutLimit_) accepted = ULONG(bulkOutLimit_);
    if (accepted > 0) model_->OnBulkOut(buffer, accepted);
    b.TransferBufferLength = accepted;
    return o;
  } else {
    if (!r.staged.empty()) memcpy(buffer + r.received, r.staged.data(), r.staged.size());
    r.received += ULONG(r.staged.size());
    r.staged.clear();
    if (!r.ends) return o;
    if (r.received < b.TransferBufferLength && !(b.TransferFlags & USBD_SHORT_TRANSFER_OK)) o = kUnderrun;
  }
  b.TransferBufferLength = r.kind == RequestKind::BulkIn ? r.received : 0;
  r.ends = true;
  if (Halts(o)) {
    r.pipe->halted = true;
    TraceLine("pipe " + Hex(r.pipe->endpoint).substr(8) + " halted usbd=" + Hex(o.usbd));
  }
  return o;
}

}  // namespace usb
}  // namespace sim
