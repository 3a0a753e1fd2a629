// One simulated machine: a kernel, the USB bus with one modem, our driver
// loaded through DriverEntry, our device on top of the modem's PDO and the
// port published as \DosDevices\COM7. Host only.
//
// This header names kernel types only by forward declaration, so that a test
// written as a Win32 program (<windows.h>) can include it too; code that looks
// into the device includes sim/kernel/sim.h and driver/driver.h itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct DEVICE_EXTENSION;

namespace sim {

class Kernel;
struct FaultRecord;
namespace usb {
class Device;
class Model;
}  // namespace usb

// What a Win32-level test may want to know of our device and the bus below
// it, in plain numbers (power states as their DDK values: D0 1 .. D3 4,
// S0 1 .. S5 6).
struct DeviceView {
  bool present = false;  // our device object exists
  unsigned deviceState = 0;  // NotStarted 0 .. Removed 5
  unsigned systemPowerState = 0;
  unsigned devicePowerState = 0;
  bool readerRunning = false;
  bool wakeSupported = false;
  bool waitWakePending = false;
  long outstandingIo = 0;
  unsigned busDevicePowerState = 0;  // as the bus last set the modem's port
  unsigned busPendingTransfers = 0;
};

// What drivers hold of the machine now (sim::TakeCensus): driver pool
// blocks, live IRPs, open kernel handles, running system threads.
struct MachineCounts {
  size_t driverPoolBlocks = 0;
  size_t irps = 0;
  size_t handles = 0;
  size_t systemThreads = 0;
};

struct WorldOptions {
  // 0: USBMODEM_SEED, else the kernel's default.
  uint64_t seed = 0;
  // Processors; 0: USBMODEM_CPUS, else the kernel's default.
  unsigned cpus = 0;
  // "loopback", "scriptable", "hayes", "source" (streams endlessly) or "sink"
  // (takes everything); empty: USBMODEM_DEVICE, else loopback.
  std::string model;
  // Print the first fault and exit (tools); tests collect them instead.
  bool faultsAreFatal = false;
  // Empty: USBMODEM_TRACE when set.
  std::string traceFile;
  // The "PortName" the modem's hardware key holds when it is plugged; empty:
  // USBMODEM_PORT_NAME, else none (the driver's default).
  std::string portName;
  // Plug the modem at construction (otherwise call Plug()).
  bool plugModem = true;
  // Runs on the machine once the modem is on the bus and before the Plug and
  // Play manager enumerates it, to change what the device will answer (its
  // descriptors) or hold (values in its hardware key).
  std::function<void(usb::Device *)> beforeEnumerate;
};

class World {
 public:
  explicit World(const WorldOptions &options = WorldOptions());
  // Closes the machine if Close() was not called.
  ~World();
  World(const World &) = delete;
  World &operator=(const World &) = delete;

  // Runs body as an application thread (PASSIVE_LEVEL) and drives the machine
  // until it returns; the driver's threads, timers and DPCs run meanwhile.
  void Run(const std::function<void()> &body);
  // Lets virtual time pass with no application thread running.
  void Advance(uint64_t ms);

  // ---- Plug and Play and power (sim/kernel/pnp_manager.h, power_manager.h)
  // These may be called from the host between runs or from an application
  // thread inside Run (PASSIVE_LEVEL); a call that waits blocks only that
  // thread while the machine, the driver and other threads run on. The Async
  // calls return at once from either; wait with WaitForPower. Requests run
  // on the Plug and Play manager's or the power manager's thread, one at a
  // time, never together.

  // Plugs the modem (the model named in the options) and waits while the
  // Plug and Play manager brings our device up on it in a new device node:
  // capabilities, AddDevice, start, capabilities. Returns STATUS_SUCCESS, or
  // the status of the step that failed.
  int32_t Plug();
  // Physical unplug: the bus fails every pending and later transfer. Returns
  // at once; the hub reports the device gone 10-300 ms later, the manager
  // sends IRP_MN_SURPRISE_REMOVAL, and IRP_MN_REMOVE_DEVICE once the last
  // handle on the stack is closed; then the bus deletes the PDO.
  void Unplug();
  // Unplugs if plugged, waits for the gone notice and the removal, then
  // plugs a fresh modem of the same model (a new PDO and device node).
  // STATUS_DEVICE_BUSY, with nothing plugged, while a handle keeps the old
  // device's removal waiting; otherwise as Plug.
  int32_t Replug();
  // A resource rebalance: query-stop, then stop and start (true), or
  // cancel-stop on a veto (false). False also when the device is not started.
  bool Rebalance();
  // Eject: query-remove, then remove (true; the bus deletes the PDO), or
  // cancel-remove on a veto (false).
  bool QueryRemove();
  // The current device node (sim::pnp::NodeId); 0 before the first Plug.
  uint32_t DeviceNode() const;

  // The system power state as a SYSTEM_POWER_STATE: 1 working (S0), 2..6 S1..S5.
  int SystemPowerState() const;
  // Puts the system into 2..6 (S1..S5) and waits: true when it sleeps, false
  // on a veto (every stack that agreed was sent S0) or when asleep already.
  bool Sleep(int systemState);
  // Back to S0 (a set-power S0 to every stack, no query) and waits.
  void Wake();
  // Queue the transition and return at once (a sim::power::SystemRequestId).
  uint32_t SleepAsync(int systemState);
  uint32_t WakeAsync();
  // Waits for a queued transition; true when it was carried out.
  bool WaitForPower(uint32_t request);
  // The modem signals a remote wake (usb::Device::SignalWake): true when a
  // wait-wake was pending and the device was in a state it can wake from.
  // The bus completes the wait-wake shortly after; if the system sleeps it
  // then wakes by itself (see WaitUntilSettled).
  bool SignalWakeFromModem();
  // Waits until neither manager has anything queued or running.
  void WaitUntilSettled();

  // Ends the run: waits for both managers, removes what is left of every
  // device node (query-remove, remove), unloads the driver and shuts the
  // kernel down so the verifier's teardown checks run. Returns the faults
  // found in the whole run, one line each ("Fault in Routine: detail").
  std::vector<std::string> Close();
  // Faults found so far, one line each.
  std::vector<std::string> FaultMessages() const;

  sim::Kernel &GetKernel();
  uint64_t Seed() const;
  const std::string &ModelName() const;
  const std::string &TraceFile() const;

  _DRIVER_OBJECT *DriverObject() const;
  _DEVICE_OBJECT *Fdo() const;          // NULL until plugged and after the removal
  DEVICE_EXTENSION *Extension() const;  // NULL until plugged
  usb::Device *Modem() const;           // the bus device and its knobs; NULL until plugged
  usb::Model *ModemModel() const;       // what sits behind its endpoints
  // The port's name for applications: L"\\\\.\\COM7".
  static const wchar_t *PortPath();
  // Our device and the modem as they are now (read from any context).
  DeviceView View() const;
  // Call from a simulated thread or while the machine is idle.
  MachineCounts Counts() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
