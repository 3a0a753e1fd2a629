// The test-facing face of a simulated device: knobs and observations, each
// taken under the device's lock.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

Device::Device() = default;
Device::~Device() = default;

PDEVICE_OBJECT Device::Pdo() const { return impl_->pdo_; }
const WCHAR *Device::Name() const { return impl_->name_; }
Model &Device::GetModel() const { return *impl_->model_; }

void Device::SetLatencyMs(RequestKind kind, uint32_t ms) {
  impl_->Locked([&] { impl_->latencyMs_[int(kind)] = ms; });
}

void Device::SetNoAnswer(RequestKind kind, bool on) {
  impl_->Locked([&] { impl_->noAnswer_[int(kind)] = on; });
}

void Device::FailNth(RequestKind kind, uint32_t nth, NTSTATUS status, USBD_STATUS usbdStatus) {
  impl_->Locked([&] {
    impl_->injected_.push_back({kind, impl_->counts_[int(kind)] + nth, {status, usbdStatus}});
  });
}

void Device::NoAnswerNth(RequestKind kind, uint32_t nth) {
  impl_->Locked([&] {
    DeviceImpl::Injected silent = {kind, impl_->counts_[int(kind)] + nth, {STATUS_SUCCESS, USBD_STATUS_SUCCESS}, true};
    impl_->injected_.push_back(silent);
  });
}

void Device::StallPipe(UCHAR endpoint) {
  impl_->Locked([&] {
    impl_->stalledEndpoints_.insert(endpoint);
  });
}

void Device::StallVendorRequest(UCHAR request, bool on) {
  impl_->Locked([&] {
    if (on) {
      impl_->stalledVendor_.insert(request);
    } else {
      impl_->stalledVendor_.erase(request);
    }
  });
}

void Device::SetBulkOutLimit(uint32_t bytes) {
  impl_->Locked([&] { impl_->bulkOutLimit_ = bytes; });
}

void Device::ClearBulkOutLimit() {
  impl_->Locked([&] { impl_->bulkOutLimit_ = -1; });
}

void Device::SetStatusReplyLength(uint32_t bytes) {
  impl_->Locked([&] { impl_->statusReplyLength_ = bytes; });
}

void Device::SetDescriptors(const std::vector<uint8_t> &device, const std::vector<uint8_t> &configuration) {
  impl_->Locked([&] {
    impl_->config_.deviceDescriptor = device;
    impl_->config_.configurationDescriptor = configuration;
  });
}

void Device::Unplug() {
  impl_->Locked([&] { impl_->UnplugLocked(); });
}

void Device::UnplugAtSchedulePoint(uint64_t n) {
  DeviceImpl *impl = impl_.get();
  AtSchedulePoint(n, [impl] { impl->Locked([impl] { impl->UnplugLocked(); }); });
}

void Device::SetZeroLengthPackets(bool on) {
  impl_->Locked([&] { impl_->zeroLengthPackets_ = on; });
}

void Device::SetPendOnUnplug(bool on) {
  impl_->Locked([&] { impl_->pendOnUnplug_ = on; });
}

void Device::SetControlFrames(uint32_t minimum, uint32_t maximum) {
  impl_->Locked([&] {
    impl_->controlFramesMin_ = minimum == 0 ? 1 : minimum;
    impl_->controlFramesMax_ = maximum < impl_->controlFramesMin_ ? impl_->controlFramesMin_ : maximum;
  });
}

bool Device::GoneNoticeDue() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->goneNoticeDue_; });
  return value;
}

bool Device::Unplugged() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->unplugged_; });
  return value;
}

void Device::DeletePdo() { impl_->Detach(); }

std::vector<LogEntry> Device::Log() const {
  std::vector<LogEntry> copy;
  impl_->Locked([&] { copy = impl_->log_; });
  return copy;
}

uint32_t Device::Count(RequestKind kind) const {
  uint32_t n = 0;
  impl_->Locked([&] { n = impl_->counts_[int(kind)]; });
  return n;
}

uint32_t Device::PendingCount() const {
  uint32_t n = 0;
  impl_->Locked([&] { n = uint32_t(impl_->pending_.size()); });
  return n;
}

bool Device::Configured() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->configured_; });
  return value;
}

bool Device::WaitWakePending() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->waitWake_ != nullptr; });
  return value;
}

DEVICE_POWER_STATE Device::PowerState() const {
  DEVICE_POWER_STATE value = PowerDeviceUnspecified;
  impl_->Locked([&] { value = impl_->powerState_; });
  return value;
}

bool Device::Started() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->started_; });
  return value;
}

bool Device::Removed() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->removed_; });
  return value;
}

bool Device::SurpriseRemoved() const {
  bool value = false;
  impl_->Locked([&] { value = impl_->surpriseRemoved_; });
  return value;
}

USBD_PIPE_HANDLE Device::PipeHandle(UCHAR endpoint) const {
  USBD_PIPE_HANDLE handle = nullptr;
  impl_->Locked([&] {
    handle = impl_->OpenPipe(endpoint);
  });
  return handle;
}

}  // namespace usb
}  // namespace sim
