// The Plug and Play manager of the simulated machine, as Windows XP's works:
// one device node per physical device object with its function driver, and
// every request carried out on the manager's own thread at PASSIVE_LEVEL,
// strictly one at a time, in the order the requests arrived. Each IRP it
// sends starts as STATUS_NOT_SUPPORTED and goes to the top of the PDO's stack.
// Host only.
//
// The request calls queue and return at once; they may be made from any
// simulated context or, with the machine idle, from the host (the request
// then runs at the next Kernel::Run or Advance). WaitIdle and WaitFor block a
// simulated thread at PASSIVE_LEVEL. The queries may be made from anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim {
namespace pnp {

using NodeId = uint32_t;     // 1, 2, ... in creation order; 0 names no node
using RequestId = uint32_t;  // 1, 2, ... in arrival order; 0 names no request

enum class NodeState {
  Enumerated,       // queued for its function driver; nothing sent yet
  Started,
  Stopped,          // between the stop and the start of a rebalance
  Failed,           // the capabilities or AddDevice failed, or the start (then the stack was removed)
  SurpriseRemoved,  // the device is gone; IRP_MN_REMOVE_DEVICE waits for the last handle to close
  Removed,
};
const char *NodeStateName(NodeState state);

enum class Operation {
  Enumerate,    // capabilities, AddDevice, start, capabilities
  Rebalance,    // query-stop; stop and start, or cancel-stop on a veto
  QueryRemove,  // eject: query-remove; remove, or cancel-remove on a veto
  DeviceGone,   // the bus relations lost the device: surprise removal
  LastClose,    // the last handle of a surprise-removed device closed: remove
  Remove,       // the machine goes away: whatever is left of the node is removed
};
const char *OperationName(Operation operation);

enum class Outcome {
  Queued,
  Running,
  Done,     // carried out (for Enumerate: the node started)
  Vetoed,   // a query failed; the cancel went out
  Failed,   // Enumerate: the node did not start
  Skipped,  // the node was in no state for it; nothing was sent
};
const char *OutcomeName(Outcome outcome);

struct RequestInfo {
  Operation operation = Operation::Enumerate;
  NodeId node = 0;
  Outcome outcome = Outcome::Queued;
  // The status of the IRP that decided the outcome (the start, the query,
  // the capabilities or AddDevice that failed); STATUS_SUCCESS otherwise.
  NTSTATUS status = STATUS_SUCCESS;
};

// One IRP the manager sent, as it came back.
struct SentIrp {
  NodeId node;
  RequestId request;
  UCHAR minor;
  NTSTATUS status;
};

// ---- requests
// A new node for `pdo`, brought up with `driver` as its function driver.
RequestId Enumerate(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver);
RequestId Rebalance(NodeId node);
RequestId QueryRemove(NodeId node);
// The bus no longer reports the device (its latest node is meant).
RequestId DeviceGone(PDEVICE_OBJECT pdo);
// Removes what is left: a started or stopped node gets a query-remove, and
// on a veto a cancel-remove and then a surprise removal, as when the device
// vanishes; then IRP_MN_REMOVE_DEVICE whatever handles are open.
RequestId Remove(NodeId node);

// The bus deletes a PDO whose device has left (gone, or ejected), after
// IRP_MN_REMOVE_DEVICE for its node completed; runs on the manager's thread.
// NULL: nobody is told. Each new kernel starts with none.
using PdoRemovedHandler = void (*)(PDEVICE_OBJECT pdo);
void SetPdoRemovedHandler(PdoRemovedHandler handler);

// ---- waiting (a simulated thread at PASSIVE_LEVEL)
void WaitIdle();
void WaitFor(RequestId request);
bool Idle();  // nothing queued or running

// ---- queries
RequestInfo Info(RequestId request);
std::vector<NodeId> Nodes();
NodeId NodeOf(PDEVICE_OBJECT pdo);  // the latest node of this PDO; 0 if none
NodeState StateOf(NodeId node);
PDEVICE_OBJECT PdoOf(NodeId node);
// The function driver's device on top of the stack; NULL before AddDevice
// and after the removal.
PDEVICE_OBJECT FdoOf(NodeId node);
// Every IRP sent so far, in order.
std::vector<SentIrp> Log();
std::string MinorName(UCHAR minor);

}  // namespace pnp
}  // namespace sim
