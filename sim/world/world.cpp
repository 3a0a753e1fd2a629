#include "sim/world/world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sim/kernel/internal.h>
#include <sim/kernel/registry.h>
#include <sim/kernel/sim.h>

#include "driver/driver.h"
#include "driver/entry.h"
#include "sim/usb/device.h"
#include "sim/world/bringup.h"
#include "sim/world/models.h"

namespace sim {

namespace {

const WCHAR kDriverName[] = L"\\Driver\\usbmodem";
const WCHAR kServiceKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem";

std::string ModelNameFrom(const WorldOptions &options) {
  if (!options.model.empty()) return options.model;
  const char *env = std::getenv("USBMODEM_DEVICE");
  return (env != nullptr && *env != 0) ? env : "loopback";
}

std::string PortNameFrom(const WorldOptions &options) {
  if (!options.portName.empty()) return options.portName;
  const char *env = std::getenv("USBMODEM_PORT_NAME");
  return env != nullptr ? env : "";
}

KernelOptions KernelOptionsFrom(const WorldOptions &options) {
  KernelOptions k = KernelOptions::FromEnvironment();
  if (options.seed != 0) k.seed = options.seed;
  if (!options.traceFile.empty()) k.traceFile = options.traceFile;
  k.faultsAreFatal = options.faultsAreFatal;
  return k;
}

}  // namespace

class World::Impl {
 public:
  explicit Impl(const WorldOptions &options)
      : options_(options),
        modelName_(ModelNameFrom(options)),
        portName_(PortNameFrom(options)),
        kernelOptions_(KernelOptionsFrom(options)) {
    if (!world::IsModelName(modelName_)) throw std::invalid_argument("unknown modem model: " + modelName_);
    kernel_.reset(new Kernel(kernelOptions_));
    current_ = this;
    usb::SetGoneReporter(DeviceGone);
    kernel_->Run([this] { LoadOurDriver(); });
  }

  void LoadOurDriver() {
    loadStatus_ = internal::LoadDriver(kDriverName, DriverEntry, kServiceKey, &driver_);
  }

  NTSTATUS Plug() {
    if (!NT_SUCCESS(loadStatus_)) return loadStatus_;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    kernel_->Run([&] {
      modem_ = usb::Plug(world::MakeModel(modelName_));
      if (!portName_.empty()) SetPortNameValue();
      status = world::AddOurDevice(driver_, modem_->Pdo(), &fdo_);
      if (!NT_SUCCESS(status)) return;
      status = world::StartOurDevice(fdo_);
    });
    return status;
  }

  // What an integrator's INF would have put in the device's hardware key.
  void SetPortNameValue() {
    std::u16string name(portName_.begin(), portName_.end());
    registry::SetDeviceValue(modem_->Pdo(), u"PortName", REG_SZ, name.c_str(),
                             ULONG((name.size() + 1) * sizeof(char16_t)));
  }

  // The bus fails what is on the wire at once; the Plug and Play notice
  // comes when the hub notices, tens to hundreds of milliseconds later.
  void Unplug() {
    if (modem_ == nullptr) return;
    modem_->Unplug();
  }

  // In a system worker, when the hub reports the device gone.
  static void DeviceGone(usb::Device *device) {
    Impl *self = current_;
    if (self == nullptr || device != self->modem_) return;
    if (self->fdo_ != nullptr) {
      world::SurpriseRemoveOurDevice(self->fdo_);
      self->surpriseRemoved_ = true;
    }
  }

  void WaitForGoneNotice() {
    for (int guard = 0; guard < 100 && modem_ != nullptr && modem_->GoneNoticeDue(); ++guard) {
      kernel_->Advance(10);
    }
  }

  std::vector<std::string> Close() {
    if (!closed_) {
      closed_ = true;
      WaitForGoneNotice();
      kernel_->Run([&] {
        if (fdo_ != nullptr) world::RemoveOurDevice(fdo_, surpriseRemoved_);
        fdo_ = nullptr;
        if (modem_ != nullptr) modem_->DeletePdo();
        if (driver_ != nullptr) internal::UnloadDriver(driver_);
        driver_ = nullptr;
      });
      kernel_->Shutdown();
      if (current_ == this) current_ = nullptr;
    }
    return FaultMessages();
  }

  std::vector<std::string> FaultMessages() const {
    std::vector<std::string> lines;
    for (const FaultRecord &f : kernel_->Faults()) {
      lines.push_back(std::string(FaultName(f.kind)) + " in " + f.routine + ": " + f.detail);
    }
    return lines;
  }

  WorldOptions options_;
  std::string modelName_;
  std::string portName_;
  KernelOptions kernelOptions_;
  std::unique_ptr<Kernel> kernel_;
  NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  usb::Device *modem_ = nullptr;
  bool surpriseRemoved_ = false;
  bool closed_ = false;
  static Impl *current_;  // the world whose kernel runs: one at a time
};

World::Impl *World::Impl::current_ = nullptr;

World::World(const WorldOptions &options) : impl_(new Impl(options)) {
  if (options.plugModem) Plug();
}

World::~World() {
  if (impl_) impl_->Close();
}

void World::Run(const std::function<void()> &body) { impl_->kernel_->Run(body); }

void World::Advance(uint64_t ms) { impl_->kernel_->Advance(ms); }

int32_t World::Plug() { return impl_->Plug(); }

void World::Unplug() { impl_->Unplug(); }

std::vector<std::string> World::Close() { return impl_->Close(); }

std::vector<std::string> World::FaultMessages() const { return impl_->FaultMessages(); }

Kernel &World::GetKernel() { return *impl_->kernel_; }

uint64_t World::Seed() const { return impl_->kernelOptions_.seed; }

const std::string &World::ModelName() const { return impl_->modelName_; }

const std::string &World::TraceFile() const { return impl_->kernelOptions_.traceFile; }

_DRIVER_OBJECT *World::DriverObject() const { return impl_->driver_; }

_DEVICE_OBJECT *World::Fdo() const { return impl_->fdo_; }

DEVICE_EXTENSION *World::Extension() const {
  return impl_->fdo_ != nullptr ? GetExtension(impl_->fdo_) : nullptr;
}

usb::Device *World::Modem() const { return impl_->modem_; }

usb::Model *World::ModemModel() const { return impl_->modem_ != nullptr ? &impl_->modem_->GetModel() : nullptr; }

const wchar_t *World::PortPath() { return L"\\\\.\\COM7"; }

}  // namespace sim
