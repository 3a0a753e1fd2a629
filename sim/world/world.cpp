#include "sim/world/world.h"

#include <cstdlib>
#include <stdexcept>

#include <sim/kernel/internal.h>
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
const WCHAR kDosName[] = L"\\DosDevices\\COM7";

std::string ModelNameFrom(const WorldOptions &options) {
  if (!options.model.empty()) return options.model;
  const char *env = std::getenv("USBMODEM_DEVICE");
  return (env != nullptr && *env != 0) ? env : "loopback";
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
      : options_(options), modelName_(ModelNameFrom(options)), kernelOptions_(KernelOptionsFrom(options)) {
    if (!world::IsModelName(modelName_)) throw std::invalid_argument("unknown modem model: " + modelName_);
    kernel_.reset(new Kernel(kernelOptions_));
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
      status = world::AddOurDevice(driver_, modem_->Pdo(), &fdo_);
      if (!NT_SUCCESS(status)) return;
      if (!world::DriverHandlesPnp(driver_)) PublishPortName();
      status = world::StartOurDevice(fdo_);
    });
    return status;
  }

  // Interim: the COM name the driver's CreatePortName will publish, pointing
  // at the PDO's name.
  void PublishPortName() {
    UNICODE_STRING link, device;
    RtlInitUnicodeString(&link, kDosName);
    RtlInitUnicodeString(&device, modem_->Name());
    if (NT_SUCCESS(IoCreateSymbolicLink(&link, &device))) linkCreated_ = true;
  }

  void Unplug() {
    if (modem_ == nullptr) return;
    modem_->Unplug();
    if (fdo_ != nullptr && world::DriverHandlesPnp(driver_)) {
      kernel_->Run([&] { world::SurpriseRemoveOurDevice(fdo_); });
      surpriseRemoved_ = true;
    }
  }

  std::vector<std::string> Close() {
    if (!closed_) {
      closed_ = true;
      kernel_->Run([&] {
        if (linkCreated_) {
          UNICODE_STRING link;
          RtlInitUnicodeString(&link, kDosName);
          IoDeleteSymbolicLink(&link);
        }
        if (fdo_ != nullptr) world::RemoveOurDevice(fdo_, surpriseRemoved_);
        fdo_ = nullptr;
        if (modem_ != nullptr) modem_->DeletePdo();
        if (driver_ != nullptr) internal::UnloadDriver(driver_);
        driver_ = nullptr;
      });
      kernel_->Shutdown();
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
  KernelOptions kernelOptions_;
  std::unique_ptr<Kernel> kernel_;
  NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  usb::Device *modem_ = nullptr;
  bool linkCreated_ = false;
  bool surpriseRemoved_ = false;
  bool closed_ = false;
};

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
