// What the Plug and Play manager sends for each request, as XP does.
#include <cstring>

#include "io_private.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/pnp_state.h"

namespace sim {
namespace pnp_internal {
namespace {

using pnp::NodeState;
using pnp::Outcome;

void Finish(Request &request, Outcome outcome, NTSTATUS status = STATUS_SUCCESS) {
  request.info.outcome = outcome;
  request.info.status = status;
}

// IRP_MN_QUERY_CAPABILITIES as the PnP manager fills it in.
NTSTATUS QueryCapabilities(Node &node) {
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = ULONG(-1);
  caps.UINumber = ULONG(-1);
  return SendPnp(node, IRP_MN_QUERY_CAPABILITIES, &caps);
}

// The stack goes: IRP_MN_REMOVE_DEVICE, and the function driver's device
// with it. `left`: the device itself has left, so the bus deletes its PDO.
void RemoveStack(Node &node, bool left) {
  SendPnp(node, IRP_MN_REMOVE_DEVICE);
  node.fdo = nullptr;
  if (node.state != NodeState::Failed) node.state = NodeState::Removed;
  if (left && Manager().pdoRemoved != nullptr) Manager().pdoRemoved(node.pdo);
}

// IRP_MN_START_DEVICE, then the capabilities again from the started stack;
// a failed start is followed by the removal of the stack.
void Start(Request &request, Node &node) {
  NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    node.state = NodeState::Failed;
    RemoveStack(node, false);
    Finish(request, Outcome::Failed, status);
    return;
  }
  node.state = NodeState::Started;
  QueryCapabilities(node);
  Finish(request, Outcome::Done);
}

void Enumerate(Request &request, Node &node) {
  NTSTATUS status = QueryCapabilities(node);
  if (NT_SUCCESS(status)) {
    PDRIVER_EXTENSION extension = node.driver->DriverExtension;
    status = (extension != nullptr && extension->AddDevice != nullptr) ? CallDriverRoutine(extension->AddDevice, node.driver, node.pdo)
                                                                       : STATUS_UNSUCCESSFUL;
  }
  PDEVICE_OBJECT top = io::AttachedTop(node.pdo);
  if (NT_SUCCESS(status) && (top == node.pdo || top->DriverObject != node.driver)) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    node.state = NodeState::Failed;
    Finish(request, Outcome::Failed, status);
    return;
  }
  node.fdo = top;
  Start(request, node);
}

// A query-stop; on success the stop and the start again (the resources
// rebalanced), on a veto the cancel.
void Rebalance(Request &request, Node &node) {
  if (node.state != NodeState::Started) return Finish(request, Outcome::Skipped);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return Finish(request, Outcome::Vetoed, status);
  }
  SendPnp(node, IRP_MN_STOP_DEVICE);
  node.state = NodeState::Stopped;
  Start(request, node);
}

// Eject: a query-remove; on success the removal (and the device leaves),
// on a veto the cancel.
void QueryRemove(Request &request, Node &node) {
  if (node.state != NodeState::Started) return Finish(request, Outcome::Skipped);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return Finish(request, Outcome::Vetoed, status);
  }
  RemoveStack(node, true);
  Finish(request, Outcome::Done);
}

// The removal itself waits for the last handle: until then the stack stays,
// failing what comes.
void WaitForLastClose(Node &node) {
  if (OpenFiles(node) == 0)
    Queue(pnp::Operation::LastClose, node.id);
  else
    node.removeOnLastClose = true;
}

void DeviceGone(Request &request, Node &node) {
  if (node.state == NodeState::Started || node.state == NodeState::Stopped) {
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    node.state = NodeState::SurpriseRemoved;
    WaitForLastClose(node);
    return Finish(request, Outcome::Done);
  }
  // No stack above the PDO any more: only the PDO goes.
  if (node.state == NodeState::Failed && Manager().pdoRemoved != nullptr) {
    Manager().pdoRemoved(node.pdo);
    return Finish(request, Outcome::Done);
  }
  Finish(request, Outcome::Skipped);
}

void LastClose(Request &request, Node &node) {
  if (node.state != NodeState::SurpriseRemoved) return Finish(request, Outcome::Skipped);
  RemoveStack(node, true);
  Finish(request, Outcome::Done);
}

void Remove(Request &request, Node &node) {
  if (node.state == NodeState::Started || node.state == NodeState::Stopped) {
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
      SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    }
  } else if (node.state != NodeState::SurpriseRemoved) {
    return Finish(request, Outcome::Skipped);
  }
  node.removeOnLastClose = false;
  RemoveStack(node, false);
  Finish(request, Outcome::Done);
}

}  // namespace

void Carry(Request &request, Node &node) {
  switch (request.info.operation) {
    case pnp::Operation::Enumerate: return Enumerate(request, node);
    case pnp::Operation::Rebalance: return Rebalance(request, node);
    case pnp::Operation::QueryRemove: return QueryRemove(request, node);
    case pnp::Operation::DeviceGone: return DeviceGone(request, node);
    case pnp::Operation::LastClose: return LastClose(request, node);
    case pnp::Operation::Remove: return Remove(request, node);
  }
}

}  // namespace pnp_internal
}  // namespace sim
