// What the device answers to each URB kind. All run under the device's lock.
#include <algorithm>

#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

constexpr UCHAR VENDOR_REQUEST_SET_DTR = 1;
constexpr UCHAR VENDOR_REQUEST_GET_STATUS = 2;

const char *KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::GetDescriptor: return "GET_DESCRIPTOR";
    case RequestKind::SelectConfiguration: return "SELECT_CONFIGURATION";
    case RequestKind::ResetPipe: return "RESET_PIPE";
    case RequestKind::SetDtr: return "VENDOR_SET_DTR";
    case RequestKind::GetStatus: return "VENDOR_GET_STATUS";
    case RequestKind::VendorOther: return "VENDOR_OTHER";
    case RequestKind::BulkOut: return "BULK_OUT";
    case RequestKind::BulkIn: return "BULK_IN";
    case RequestKind::Invalid: return "INVALID";
  }
  return "?";
}

// The pipe the current configuration opened for this endpoint, or NULL.
Pipe *DeviceImpl::OpenPipe(UCHAR endpoint) const {
  for (const auto &p : pipes_) {
    if (p->open && p->endpoint == endpoint) return p.get();
  }
  return nullptr;
}

// A handle is valid only while the configuration that opened its pipe stands.
Pipe *DeviceImpl::PipeFromHandle(USBD_PIPE_HANDLE handle) const {
  for (const auto &p : pipes_) {
    if (p.get() == handle && p->open) return p.get();
  }
  return nullptr;
}

static void RejectFields(Request *r, const Outcome &why) {
  r->rejected = true;
  r->rejection = why;
}

// Kind, log values and the checks that decide at once: structure length, pipe handle.
void DeviceImpl::Classify(PURB urb, Request *r, LogEntry *e) {
  r->kind = RequestKind::Invalid;
  if (urb == nullptr) {
    e->kind = r->kind;
    return;
  }
  USHORT length = urb->UrbHeader.Length;
  e->function = urb->UrbHeader.Function;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      r->kind = RequestKind::GetDescriptor;
      r->fieldsValid = length == sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
      if (!r->fieldsValid) break;
      e->value = urb->UrbControlDescriptorRequest.DescriptorType;
      e->length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      r->kind = RequestKind::SelectConfiguration;
      r->fieldsValid = length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
      if (r->fieldsValid) e->value = urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr ? 1 : 0;
      break;
    case URB_FUNCTION_RESET_PIPE: {
      r->kind = RequestKind::ResetPipe;
      r->fieldsValid = length == sizeof(struct _URB_PIPE_REQUEST);
      Pipe *pipe = r->fieldsValid ? PipeFromHandle(urb->UrbPipeRequest.PipeHandle) : nullptr;
      if (pipe != nullptr) e->endpoint = pipe->endpoint;
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      r->fieldsValid = length == sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
      r->kind = RequestKind::VendorOther;
      if (!r->fieldsValid) break;
      const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb->UrbControlVendorClassRequest;
      if (v.Request == VENDOR_REQUEST_SET_DTR) r->kind = RequestKind::SetDtr;
      if (v.Request == VENDOR_REQUEST_GET_STATUS) r->kind = RequestKind::GetStatus;
      e->value = v.Value;
      e->length = v.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      r->fieldsValid = length == sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
      r->kind = RequestKind::BulkOut;
      if (!r->fieldsValid) {
        RejectFields(r, kInvalid);
        break;
      }
      const struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = urb->UrbBulkOrInterruptTransfer;
      bool in = USBD_TRANSFER_DIRECTION_FLAG(b.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
      if (in) r->kind = RequestKind::BulkIn;
      e->length = b.TransferBufferLength;
      Pipe *pipe = PipeFromHandle(b.PipeHandle);
      if (pipe == nullptr) {
        RejectFields(r, kInvalidPipe);
        break;
      }
      r->pipe = pipe;
      e->endpoint = pipe->endpoint;
      bool pipeIn = (pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
      bool noBuffer = b.TransferBufferLength > 0 && TransferAddress(b.TransferBuffer, b.TransferBufferMDL) == nullptr;
      if (pipeIn != in || noBuffer || b.TransferBufferLength > pipe->maxTransfer ||
          (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)) {
        RejectFields(r, kInvalid);
      }
      break;
    }
    default:
      break;
  }
  if (!r->fieldsValid || r->kind == RequestKind::Invalid) {
    if (!r->rejected) RejectFields(r, kInvalid);
  }
  e->kind = r->kind;
}

ULONG *TransferLengthField(RequestKind kind, PURB urb) {
  switch (kind) {
    case RequestKind::GetDescriptor: return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case RequestKind::SetDtr:
    case RequestKind::GetStatus:
    case RequestKind::VendorOther: return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    case RequestKind::BulkIn:
    case RequestKind::BulkOut: return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default: return nullptr;
  }
}

// A control transfer's answer, at the end of its last frame.
Outcome DeviceImpl::Execute(Request &r) {
  switch (r.kind) {
    case RequestKind::GetDescriptor: return ExecuteDescriptor(r.urb);
    case RequestKind::SelectConfiguration: return ExecuteSelectConfiguration(r.urb);
    case RequestKind::ResetPipe: return ExecuteResetPipe(r.urb);
    case RequestKind::SetDtr:
    case RequestKind::GetStatus:
    case RequestKind::VendorOther: return ExecuteVendor(r.urb);
    default: return kInvalid;
  }
}

void DeviceImpl::LogAnswer(Request &r, const Outcome &o) {
  ULONG *length = r.fieldsValid ? TransferLengthField(r.kind, r.urb) : nullptr;
  if (length != nullptr && o.status != STATUS_SUCCESS && r.kind != RequestKind::BulkIn) *length = 0;
  LogEntry &e = log_[r.logIndex];
  e.status = o.status;
  e.usbdStatus = o.usbd;
  e.completeMs = NowMs();
  e.transferred = length != nullptr ? *length : 0;
  TraceLine(std::string("< ") + KindName(r.kind) + " len=" + std::to_string(e.transferred) +
            " status=" + Hex(o.status) + " usbd=" + Hex(o.usbd));
}

Outcome DeviceImpl::ExecuteDescriptor(PURB urb) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST &d = urb->UrbControlDescriptorRequest;
  const std::vector<uint8_t> *source = nullptr;
  if (d.Index == 0 && d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) source = &config_.deviceDescriptor;
  if (d.Index == 0 && d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) source = &config_.configurationDescriptor;
  PVOID buffer = TransferAddress(d.TransferBuffer, d.TransferBufferMDL);
  if (d.TransferBufferLength > 0 && buffer == nullptr) {
    d.TransferBufferLength = 0;
    return kInvalid;
  }
  if (source == nullptr || source->empty()) {
    d.TransferBufferLength = 0;
    return kStall;
  }
  size_t n = std::min<size_t>(d.TransferBufferLength, source->size());
  if (n > 0) memcpy(buffer, source->data(), n);
  d.TransferBufferLength = ULONG(n);
  return kSuccess;
}

Outcome DeviceImpl::ExecuteResetPipe(PURB urb) {
  Pipe *pipe = PipeFromHandle(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return kInvalidPipe;
  // The host's halt and the device's stall (CLEAR_FEATURE ENDPOINT_HALT) both go.
  pipe->halted = false;
  stalledEndpoints_.erase(pipe->endpoint);
  return kSuccess;
}

Outcome DeviceImpl::ExecuteVendor(PURB urb) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb->UrbControlVendorClassRequest;
  bool in = USBD_TRANSFER_DIRECTION_FLAG(v.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  PUCHAR buffer = static_cast<PUCHAR>(TransferAddress(v.TransferBuffer, v.TransferBufferMDL));
  ULONG wanted = v.TransferBufferLength;
  v.TransferBufferLength = 0;
  if (wanted > 0 && buffer == nullptr) return kInvalid;
  if (stalledVendor_.count(v.Request) != 0) return kStall;
  if (v.Request == VENDOR_REQUEST_SET_DTR) {
    if (in || wanted != 0 || v.Value > 1) return kStall;
    model_->OnSetDtr(v.Value == 1);
    return kSuccess;
  }
  if (v.Request == VENDOR_REQUEST_GET_STATUS) {
    if (!in) return kStall;
    ULONG n = std::min<ULONG>(wanted, std::min<ULONG>(statusReplyLength_, 1));
    if (n > 0) buffer[0] = model_->StatusByte();
    v.TransferBufferLength = n;
    if (n < wanted && !(v.TransferFlags & USBD_SHORT_TRANSFER_OK)) return kUnderrun;
    return kSuccess;
  }
  return kStall;
}

// Transfers on pipes that closed end as cancelled, at once.
void DeviceImpl::AbortTransfers() {
  for (Request &r : pending_) {
    if (r.pipe == nullptr || r.pipe->open || r.cancelling || r.phase == Request::Phase::Cancelled) continue;
    r.phase = Request::Phase::Cancelled;
    r.due = Now100ns();
    r.staged.clear();
  }
}

void DeviceImpl::Unconfigure() {
  configured_ = false;
  for (auto &p : pipes_) p->open = false;
  AbortTransfers();
  Arm();
}

Outcome DeviceImpl::ExecuteSelectConfiguration(PURB urb) {
  struct _URB_SELECT_CONFIGURATION &s = urb->UrbSelectConfiguration;
  if (s.ConfigurationDescriptor == nullptr) {
    if (s.Hdr.Length != sizeof(struct _URB_SELECT_CONFIGURATION)) return kInvalid;
    Unconfigure();
    return kSuccess;
  }
  return Configure(urb);
}

}  // namespace usb
}  // namespace sim
