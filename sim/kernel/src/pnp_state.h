// The Plug and Play manager's own records, shared by its files. Host only.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <wdm.h>

#include "sim/kernel/pnp_manager.h"

namespace sim {
namespace pnp_internal {

struct Node {
  pnp::NodeId id = 0;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  pnp::NodeState state = pnp::NodeState::Enumerated;
  PDEVICE_OBJECT fdo = nullptr;
  bool removeOnLastClose = false;  // surprise-removed with handles open
};

struct Request {
  pnp::RequestInfo info;
  std::string steps;  // for the trace line: each IRP and its answer
};

struct ManagerState {
  std::deque<Node> nodes;           // index id - 1; a deque, so references stay good as nodes are added
  std::deque<Request> requests;     // index id - 1; likewise
  std::deque<pnp::RequestId> queue;
  bool running = false;
  pnp::RequestId current = 0;
  std::vector<pnp::SentIrp> log;
  pnp::PdoRemovedHandler pdoRemoved = nullptr;
  bool eventsReady = false;
  KEVENT idle;      // set whenever the queue has drained
  KEVENT treeLock;  // a synchronization event held by a running request or transition
};

ManagerState &Manager();
Node *FindNode(pnp::NodeId id);
// Queues a request and wakes the manager's thread.
pnp::RequestId Queue(pnp::Operation operation, pnp::NodeId node);
// The manager's events, set up by the first simulated thread to need them.
void EnsureEvents();

// One Plug and Play IRP of the running request to the node's stack.
NTSTATUS SendPnp(Node &node, UCHAR minor, DEVICE_CAPABILITIES *caps = nullptr);
// Carries out the running request.
void Carry(Request &request, Node &node);
// Open handles (file objects) on any device of the node's stack.
long OpenFiles(const Node &node);

}  // namespace pnp_internal
}  // namespace sim
