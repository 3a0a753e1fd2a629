// A small bus and function driver for the Plug and Play and power managers'
// tests: the PDO completes what reaches it with success, the function
// driver logs every PnP and power IRP it gets and may veto or fail chosen ones.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kernel/io_test_util.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/pnp_manager.h"
#include "sim/kernel/power_manager.h"

namespace pnp_test {

using io_test::Dispatch;

// What the function driver saw, one line per IRP: "N:start", "N:query-power S3".
struct Rig;
Rig *&CurrentRig();

struct Stack {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  int index = 0;
  PIRP waitWake = nullptr;  // held by the PDO
};

struct Rig {
  std::vector<std::string> log;
  std::vector<Stack *> stacks;
  std::map<std::string, NTSTATUS> answers;  // "N:minor" -> status the function driver completes with
  bool detachOnRemove = true;
  bool requestWaitWake = false;
  int inFlight = 0, maxInFlight = 0;
  std::function<void()> duringQueryStop;
  Dispatch pdoD, fdoD;
  PDRIVER_OBJECT busDriver = nullptr, fdoDriver = nullptr;

  Rig() { CurrentRig() = this; }
  ~Rig() { CurrentRig() = nullptr; }
  PDEVICE_OBJECT MakePdo();
};

inline Rig *&CurrentRig() {
  static Rig *rig = nullptr;
  return rig;
}

inline std::string MinorText(UCHAR major, UCHAR minor, PIO_STACK_LOCATION sp) {
  if (major == IRP_MJ_POWER) {
    std::string what = minor == IRP_MN_SET_POWER ? "set-power" : minor == IRP_MN_QUERY_POWER ? "query-power" : "power";
    if (sp->Parameters.Power.Type == SystemPowerState)
      what += " S" + std::to_string(int(sp->Parameters.Power.State.SystemState) - 1);
    return what;
  }
  switch (minor) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_CAPABILITIES: return "caps";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise";
  }
  return "minor " + std::to_string(minor);
}

inline Stack *StackOf(PDEVICE_OBJECT device) {
  return *static_cast<Stack **>(static_cast<void *>(static_cast<char *>(device->DeviceExtension) + sizeof(io_test::TestExtension)));
}

inline void SetStack(PDEVICE_OBJECT device, Stack *stack) {
  *static_cast<Stack **>(static_cast<void *>(static_cast<char *>(device->DeviceExtension) + sizeof(io_test::TestExtension))) = stack;
}

inline VOID NTAPI WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Rig *rig = CurrentRig();
  PDEVICE_OBJECT fdo = io_test::MakeDevice(driver, &rig->fdoD,
                                           StackOf(pdo)->index == 1 ? L"\\Device\\PnpTest1" : nullptr);
  SetStack(fdo, StackOf(pdo));
  StackOf(pdo)->fdo = fdo;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  rig->log.push_back(std::to_string(StackOf(pdo)->index) + ":add");
  return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT Rig::MakePdo() {
  if (busDriver == nullptr) {
    pdoD = [this](PDEVICE_OBJECT device, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      if (sp->MajorFunction == IRP_MJ_POWER) {
        if (sp->MinorFunction == IRP_MN_WAIT_WAKE) {
          IoMarkIrpPending(irp);
          StackOf(device)->waitWake = irp;
          return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
      }
      NTSTATUS status = sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_POWER ? STATUS_SUCCESS
                                                                                              : irp->IoStatus.Status;
      if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE ||
          sp->MajorFunction == IRP_MJ_CLEANUP)
        status = STATUS_SUCCESS;
      return io_test::CompleteWith(irp, status, irp->IoStatus.Information);
    };
    fdoD = [this](PDEVICE_OBJECT device, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      Stack *stack = StackOf(device);
      PDEVICE_OBJECT lower = stack->pdo;
      if (sp->MajorFunction != IRP_MJ_PNP && sp->MajorFunction != IRP_MJ_POWER) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
      }
      std::string line = std::to_string(stack->index) + ":" + MinorText(sp->MajorFunction, sp->MinorFunction, sp);
      log.push_back(line);
      maxInFlight = std::max(maxInFlight, ++inFlight);
      if (sp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE && duringQueryStop) duringQueryStop();
      auto answer = answers.find(line);
      bool power = sp->MajorFunction == IRP_MJ_POWER;
      if (power) PoStartNextPowerIrp(irp);
      if (answer != answers.end()) {
        --inFlight;
        return io_test::CompleteWith(irp, answer->second);
      }
      if (power && sp->MinorFunction == IRP_MN_SET_POWER && requestWaitWake && stack->waitWake == nullptr &&
          sp->Parameters.Power.Type == SystemPowerState && sp->Parameters.Power.State.SystemState != PowerSystemWorking) {
        POWER_STATE s;
        s.SystemState = PowerSystemSleeping3;
        PoRequestPowerIrp(lower, IRP_MN_WAIT_WAKE, s, WaitWakeDone, nullptr, nullptr);
      }
      UCHAR minor = sp->MinorFunction;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = power ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
      --inFlight;
      if (!power && minor == IRP_MN_REMOVE_DEVICE && detachOnRemove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        stack->fdo = nullptr;
      }
      return status;
    };
    busDriver = io_test::MakeDriver(L"\\Driver\\testbus");
    fdoDriver = io_test::MakeDriver(L"\\Driver\\testfdo");
    fdoDriver->DriverExtension->AddDevice = AddDevice;
  }
  auto *stack = new Stack;
  stack->index = int(stacks.size()) + 1;
  stacks.push_back(stack);
  stack->pdo = io_test::MakeDevice(busDriver, &pdoD);
  SetStack(stack->pdo, stack);
  return stack->pdo;
}

// The PDO's held wait-wake completes: the device signalled a wake.
inline void SignalWake(Stack *stack) {
  PIRP irp = stack->waitWake;
  stack->waitWake = nullptr;
  io_test::CompleteWith(irp, STATUS_SUCCESS);
}

}  // namespace pnp_test
