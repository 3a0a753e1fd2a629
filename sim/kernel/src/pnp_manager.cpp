// The Plug and Play manager's queue: requests in arrival order, carried out
// one at a time on the manager's own thread, and what tests ask of it.
#include "sim/kernel/pnp_manager.h"

#include "io_private.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/pnp_private.h"
#include "sim/kernel/src/pnp_state.h"
#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace pnp_internal {
namespace {

void Reset() { Manager() = ManagerState(); }

const bool registered = RegisterSubsystem({"Plug and Play manager", Reset, Reset});

// The manager's thread: it drains the queue and ends; the next request
// starts another.
void Worker() {
  EnsureEvents();
  ManagerState &m = Manager();
  while (!m.queue.empty()) {
    pnp::RequestId id = m.queue.front();
    m.queue.pop_front();
    Request &request = m.requests[id - 1];
    m.current = id;
    request.info.outcome = pnp::Outcome::Running;
    LockTree();
    Node *node = FindNode(request.info.node);
    if (node != nullptr)
      Carry(request, *node);
    else
      request.info.outcome = pnp::Outcome::Skipped;
    UnlockTree();
    m.current = 0;
    const Request &done = request;
    if (TraceEnabled())
      Trace("pnp manager: " + std::string(pnp::OperationName(done.info.operation)) + " node " +
            std::to_string(done.info.node) + done.steps + " -> " + pnp::OutcomeName(done.info.outcome));
  }
  m.running = false;
  KeSetEvent(&m.idle, IO_NO_INCREMENT, FALSE);
}

bool InStack(const Node &node, PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT d = node.pdo; d != nullptr; d = d->AttachedDevice)
    if (d == device) return true;
  return false;
}

}  // namespace

ManagerState &Manager() {
  static ManagerState *state = new ManagerState;
  return *state;
}

Node *FindNode(pnp::NodeId id) {
  ManagerState &m = Manager();
  return id >= 1 && id <= m.nodes.size() ? &m.nodes[id - 1] : nullptr;
}

void EnsureEvents() {
  ManagerState &m = Manager();
  if (m.eventsReady) return;
  m.eventsReady = true;
  KeInitializeEvent(&m.idle, NotificationEvent, FALSE);
  KeInitializeEvent(&m.treeLock, SynchronizationEvent, TRUE);
}

pnp::RequestId Queue(pnp::Operation operation, pnp::NodeId node) {
  ManagerState &m = Manager();
  Request request;
  request.info.operation = operation;
  request.info.node = node;
  m.requests.push_back(request);
  pnp::RequestId id = pnp::RequestId(m.requests.size());
  m.queue.push_back(id);
  if (!m.running) {
    m.running = true;
    NewThread("pnp manager", SimThread::Kind::Service, Worker);
  }
  return id;
}

long OpenFiles(const Node &node) {
  long open = 0;
  for (PDEVICE_OBJECT d = node.pdo; d != nullptr; d = d->AttachedDevice) open += d->ReferenceCount;
  return open;
}

void LockTree() {
  EnsureEvents();
  KeWaitForSingleObject(&Manager().treeLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockTree() { KeSetEvent(&Manager().treeLock, IO_NO_INCREMENT, FALSE); }

std::vector<pnp::NodeId> StartedNodes() {
  std::vector<pnp::NodeId> ids;
  for (const Node &n : Manager().nodes)
    if (n.state == pnp::NodeState::Started) ids.push_back(n.id);
  return ids;
}

}  // namespace pnp_internal

namespace internal {

// The removal of a surprise-removed node waits for this: the last file
// object on its stack going.
void FileObjectGone(PDEVICE_OBJECT device) {
  for (pnp_internal::Node &node : pnp_internal::Manager().nodes) {
    if (!node.removeOnLastClose || !pnp_internal::InStack(node, device)) continue;
    if (pnp_internal::OpenFiles(node) != 0) continue;
    node.removeOnLastClose = false;
    pnp_internal::Queue(pnp::Operation::LastClose, node.id);
  }
}

}  // namespace internal

namespace pnp {

using pnp_internal::Manager;

RequestId Enumerate(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
  pnp_internal::Node node;
  node.id = NodeId(Manager().nodes.size() + 1);
  node.pdo = pdo;
  node.driver = driver;
  Manager().nodes.push_back(node);
  return pnp_internal::Queue(Operation::Enumerate, node.id);
}

RequestId Rebalance(NodeId node) { return pnp_internal::Queue(Operation::Rebalance, node); }

RequestId QueryRemove(NodeId node) { return pnp_internal::Queue(Operation::QueryRemove, node); }

RequestId DeviceGone(PDEVICE_OBJECT pdo) { return pnp_internal::Queue(Operation::DeviceGone, NodeOf(pdo)); }

RequestId Remove(NodeId node) { return pnp_internal::Queue(Operation::Remove, node); }

void SetPdoRemovedHandler(PdoRemovedHandler handler) { Manager().pdoRemoved = handler; }

bool Idle() { return !Manager().running; }

// Cleared before the look, so a drain between the look and the wait still wakes it.
void WaitIdle() {
  pnp_internal::EnsureEvents();
  for (;;) {
    KeClearEvent(&Manager().idle);
    if (Idle()) return;
    KeWaitForSingleObject(&Manager().idle, Executive, KernelMode, FALSE, nullptr);
  }
}

void WaitFor(RequestId request) {
  for (;;) {
    Outcome o = Info(request).outcome;
    if (o != Outcome::Queued && o != Outcome::Running) return;
    WaitIdle();
  }
}

RequestInfo Info(RequestId request) {
  auto &requests = Manager().requests;
  if (request < 1 || request > requests.size()) {
    RequestInfo none;
    none.outcome = Outcome::Skipped;
    return none;
  }
  return requests[request - 1].info;
}

std::vector<NodeId> Nodes() {
  std::vector<NodeId> ids;
  for (const auto &n : Manager().nodes) ids.push_back(n.id);
  return ids;
}

NodeId NodeOf(PDEVICE_OBJECT pdo) {
  const auto &nodes = Manager().nodes;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
    if (it->pdo == pdo) return it->id;
  return 0;
}

NodeState StateOf(NodeId node) {
  const pnp_internal::Node *n = pnp_internal::FindNode(node);
  return n != nullptr ? n->state : NodeState::Removed;
}

PDEVICE_OBJECT PdoOf(NodeId node) {
  const pnp_internal::Node *n = pnp_internal::FindNode(node);
  return n != nullptr ? n->pdo : nullptr;
}

PDEVICE_OBJECT FdoOf(NodeId node) {
  const pnp_internal::Node *n = pnp_internal::FindNode(node);
  return n != nullptr ? n->fdo : nullptr;
}

std::vector<SentIrp> Log() { return Manager().log; }

const char *NodeStateName(NodeState state) {
  switch (state) {
    case NodeState::Enumerated: return "enumerated";
    case NodeState::Started: return "started";
    case NodeState::Stopped: return "stopped";
    case NodeState::Failed: return "failed";
    case NodeState::SurpriseRemoved: return "surprise-removed";
    case NodeState::Removed: return "removed";
  }
  return "?";
}

const char *OperationName(Operation operation) {
  switch (operation) {
    case Operation::Enumerate: return "enumerate";
    case Operation::Rebalance: return "rebalance";
    case Operation::QueryRemove: return "query-remove";
    case Operation::DeviceGone: return "device gone";
    case Operation::LastClose: return "last close";
    case Operation::Remove: return "remove";
  }
  return "?";
}

const char *OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Queued: return "queued";
    case Outcome::Running: return "running";
    case Outcome::Done: return "done";
    case Outcome::Vetoed: return "vetoed";
    case Outcome::Failed: return "failed";
    case Outcome::Skipped: return "skipped";
  }
  return "?";
}

std::string MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
  }
  return "IRP_MN_" + std::to_string(minor);
}

}  // namespace pnp
}  // namespace sim
