#include "sim/world/world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sim/kernel/internal.h>
#include <sim/kernel/pnp_manager.h>
#include <sim/kernel/power_manager.h>
#include <sim/kernel/registry.h>
#include <sim/kernel/sim.h>

#include "driver/driver.h"
#include "driver/entry.h"
#include "sim/usb/device.h"
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
  if (options.cpus != 0) k.cpus = options.cpus;
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
    pnp::SetPdoRemovedHandler(PdoRemoved);
    kernel_->Run([this] { LoadOurDriver(); });
  }

  void LoadOurDriver() {
    loadStatus_ = internal::LoadDriver(kDriverName, DriverEntry, kServiceKey, &driver_);
  }

  // From an application thread the body runs there; from the host the
  // machine runs it as a thread of its own.
  void Drive(const std::function<void()> &body) {
    if (internal::InSimulatedThread())
      body();
    else
      kernel_->Run(body);
  }

  // Lets virtual time pass, from the host or an application thread.
  void Pass(uint64_t ms) {
    if (!internal::InSimulatedThread()) return kernel_->Advance(ms);
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }

  // The Plug and Play manager brings our device up on the new PDO: the
  // capabilities, AddDevice, the start, the capabilities again.
  NTSTATUS Plug() {
    if (!NT_SUCCESS(loadStatus_)) return loadStatus_;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Drive([&] {
      modem_ = usb::Plug(world::MakeModel(modelName_));
      if (!portName_.empty()) SetPortNameValue();
      if (options_.beforeEnumerate) options_.beforeEnumerate(modem_);
      pnp::RequestId r = pnp::Enumerate(modem_->Pdo(), driver_);
      node_ = pnp::NodeOf(modem_->Pdo());
      pnp::WaitFor(r);
      pnp::RequestInfo info = pnp::Info(r);
      status = info.outcome == pnp::Outcome::Done ? STATUS_SUCCESS : info.status;
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
    if (current_ != nullptr && device->Pdo() != nullptr) pnp::DeviceGone(device->Pdo());
  }

  // On the Plug and Play manager's thread, once a gone or ejected device's
  // stack is removed: the bus deletes its PDO.
  static void PdoRemoved(PDEVICE_OBJECT pdo) {
    if (usb::Device *device = usb::FromPdo(pdo)) device->DeletePdo();
  }

  void WaitForGoneNotice() {
    for (int guard = 0; guard < 100 && modem_ != nullptr && modem_->GoneNoticeDue(); ++guard) Pass(10);
  }

  bool Carry(pnp::RequestId (*request)(pnp::NodeId)) {
    if (node_ == 0) return false;
    bool done = false;
    Drive([&] {
      pnp::RequestId r = request(node_);
      pnp::WaitFor(r);
      done = pnp::Info(r).outcome == pnp::Outcome::Done;
    });
    return done;
  }

  bool NodeGone() const {
    if (node_ == 0) return true;
    pnp::NodeState state = pnp::StateOf(node_);
    return state == pnp::NodeState::Removed || (state == pnp::NodeState::Failed && modem_->Pdo() == nullptr);
  }

  NTSTATUS Replug() {
    if (modem_ != nullptr && !modem_->Unplugged()) Unplug();
    WaitForGoneNotice();
    Drive([] { pnp::WaitIdle(); });
    if (!NodeGone()) return STATUS_DEVICE_BUSY;  // a handle is still open on the old device
    return Plug();
  }

  power::SystemRequestId SleepAsync(int systemState) {
    return power::SetSystemPowerState(static_cast<SYSTEM_POWER_STATE>(systemState));
  }

  power::SystemOutcome WaitPower(power::SystemRequestId r) {
    Drive([r] { power::WaitFor(r); });
    return power::Info(r).outcome;
  }

  std::vector<std::string> Close() {
    if (!closed_) {
      closed_ = true;
      WaitForGoneNotice();
      kernel_->Run([&] {
        pnp::WaitIdle();
        power::WaitSettled();
        for (pnp::NodeId node : pnp::Nodes()) {
          pnp::NodeState state = pnp::StateOf(node);
          if (state != pnp::NodeState::Removed && state != pnp::NodeState::Failed) pnp::Remove(node);
        }
        pnp::WaitIdle();
        for (usb::Device *device : usb::Devices())
          if (device->Pdo() != nullptr) device->DeletePdo();
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
  pnp::NodeId node_ = 0;
  usb::Device *modem_ = nullptr;
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

int32_t World::Replug() { return impl_->Replug(); }

bool World::Rebalance() { return impl_->Carry(pnp::Rebalance); }

bool World::QueryRemove() { return impl_->Carry(pnp::QueryRemove); }

uint32_t World::DeviceNode() const { return impl_->node_; }

uint32_t World::SleepAsync(int systemState) { return impl_->SleepAsync(systemState); }

uint32_t World::WakeAsync() { return impl_->SleepAsync(PowerSystemWorking); }

bool World::WaitForPower(uint32_t request) { return impl_->WaitPower(request) == power::SystemOutcome::Done; }

bool World::Sleep(int systemState) { return WaitForPower(SleepAsync(systemState)); }

void World::Wake() { WaitForPower(WakeAsync()); }

bool World::SignalWakeFromModem() {
  bool signalled = false;
  impl_->Drive([&] { signalled = impl_->modem_ != nullptr && impl_->modem_->SignalWake(); });
  return signalled;
}

void World::WaitUntilSettled() {
  impl_->Drive([] {
    pnp::WaitIdle();
    power::WaitSettled();
    pnp::WaitIdle();
  });
}

int World::SystemPowerState() const { return power::CurrentSystemState(); }

std::vector<std::string> World::Close() { return impl_->Close(); }

std::vector<std::string> World::FaultMessages() const { return impl_->FaultMessages(); }

Kernel &World::GetKernel() { return *impl_->kernel_; }

uint64_t World::Seed() const { return impl_->kernelOptions_.seed; }

const std::string &World::ModelName() const { return impl_->modelName_; }

const std::string &World::TraceFile() const { return impl_->kernelOptions_.traceFile; }

_DRIVER_OBJECT *World::DriverObject() const { return impl_->driver_; }

_DEVICE_OBJECT *World::Fdo() const { return impl_->node_ != 0 ? pnp::FdoOf(impl_->node_) : nullptr; }

DEVICE_EXTENSION *World::Extension() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo != nullptr ? GetExtension(fdo) : nullptr;
}

usb::Device *World::Modem() const { return impl_->modem_; }

MachineCounts World::Counts() const {
  Census c = TakeCensus();
  MachineCounts m;
  m.driverPoolBlocks = c.driverPoolBlocks;
  m.irps = c.irps;
  m.handles = c.handles;
  m.systemThreads = c.systemThreads;
  return m;
}

DeviceView World::View() const {
  DeviceView v;
  if (DEVICE_EXTENSION *ext = Extension()) {
    v.present = true;
    v.deviceState = ext->DeviceState;
    v.systemPowerState = ext->SystemPowerState;
    v.devicePowerState = ext->DevicePowerState;
    v.readerRunning = ext->ReaderThread != nullptr;
    v.wakeSupported = ext->WakeSupported != 0;
    v.waitWakePending = ext->WaitWakePending != 0;
    v.outstandingIo = ext->OutstandingIo;
  }
  if (usb::Device *modem = Modem()) {
    v.busDevicePowerState = modem->PowerState();
    v.busPendingTransfers = modem->PendingCount();
  }
  return v;
}

usb::Model *World::ModemModel() const { return impl_->modem_ != nullptr ? &impl_->modem_->GetModel() : nullptr; }

const wchar_t *World::PortPath() { return L"\\\\.\\COM7"; }

}  // namespace sim
