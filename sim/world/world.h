// One simulated machine: a kernel, the USB bus with one modem, our driver
// loaded through DriverEntry, our device on top of the modem's PDO and the
// port published as \DosDevices\COM7. Host only.
//
// This header names kernel types only by forward declaration, so that a test
// written as a Win32 program (<windows.h>) can include it too; code that looks
// into the device includes sim/kernel/sim.h and driver/driver.h itself.
#pragma once

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

struct WorldOptions {
  // 0: USBMODEM_SEED, else the kernel's default.
  uint64_t seed = 0;
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

  // Plugs the modem (the model named in the options) and brings our device
  // up on it: add device, COM name, start. Returns the start's NTSTATUS.
  int32_t Plug();
  // Physical unplug: the bus fails every pending and later transfer.
  void Unplug();

  // Ends the run: removes our device, unloads the driver and shuts the
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
  _DEVICE_OBJECT *Fdo() const;          // NULL until plugged
  DEVICE_EXTENSION *Extension() const;  // NULL until plugged
  usb::Device *Modem() const;           // the bus device and its knobs; NULL until plugged
  usb::Model *ModemModel() const;       // what sits behind its endpoints
  // The port's name for applications: L"\\\\.\\COM7".
  static const wchar_t *PortPath();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
