// The Plug and Play manager's sequences as XP sends them: bring-up,
// rebalance, eject, surprise removal with the removal after the last handle,
// one request at a time; and the faults for IRPs a driver may not fail.
#include "kernel/pnp_test_rig.h"

using namespace pnp_test;
using sim::Fault;
namespace pnp = sim::pnp;

namespace {

using Lines = std::vector<std::string>;

// Runs body on a fresh kernel with a rig, then deletes what is left of the
// stacks and shuts down.
void WithRig(sim::Kernel &k, const std::function<void(Rig &)> &body) {
  Rig rig;
  k.Run([&] {
    body(rig);
    pnp::WaitIdle();
    for (Stack *s : rig.stacks) {
      if (s->fdo != nullptr && pnp::StateOf(pnp::NodeOf(s->pdo)) != pnp::NodeState::Removed) {
        pnp::Remove(pnp::NodeOf(s->pdo));
        pnp::WaitIdle();
      }
      if (s->waitWake != nullptr) io_test::CompleteWith(s->waitWake, STATUS_CANCELLED);
      if (s->pdo->AttachedDevice == nullptr) IoDeleteDevice(s->pdo);
      delete s;
    }
  });
  k.Shutdown();
}

pnp::NodeId Bring(Rig &rig) {
  PDEVICE_OBJECT pdo = rig.MakePdo();
  pnp::RequestId r = pnp::Enumerate(pdo, rig.fdoDriver);
  pnp::WaitFor(r);
  EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Done);
  return pnp::NodeOf(pdo);
}

Lines After(const Rig &rig, size_t from) { return Lines(rig.log.begin() + from, rig.log.end()); }

}  // namespace

TEST(PnpManager, RebalanceStopsAndStartsOrCancelsOnAVeto) {
  sim::Kernel k(io_test::Options());
  WithRig(k, [](Rig &rig) {
    pnp::NodeId node = Bring(rig);
    EXPECT_EQ(rig.log, (Lines{"1:add", "1:start", "1:caps"})) << "the first caps reach only the PDO";
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
    size_t mark = rig.log.size();
    pnp::RequestId r = pnp::Rebalance(node);
    pnp::WaitFor(r);
    EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Done);
    EXPECT_EQ(After(rig, mark), (Lines{"1:query-stop", "1:stop", "1:start", "1:caps"}));

    rig.answers["1:query-stop"] = STATUS_UNSUCCESSFUL;
    mark = rig.log.size();
    r = pnp::Rebalance(node);
    pnp::WaitFor(r);
    EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Vetoed);
    EXPECT_EQ(pnp::Info(r).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(After(rig, mark), (Lines{"1:query-stop", "1:cancel-stop"}));
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
    for (const pnp::SentIrp &irp : pnp::Log()) EXPECT_EQ(irp.node, node);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(PnpManager, QueryRemoveVetoedCancelsAndOtherwiseRemoves) {
  static PDEVICE_OBJECT removedPdo;
  removedPdo = nullptr;
  sim::Kernel k(io_test::Options());
  WithRig(k, [](Rig &rig) {
    pnp::SetPdoRemovedHandler([](PDEVICE_OBJECT pdo) { removedPdo = pdo; });
    pnp::NodeId node = Bring(rig);
    rig.answers["1:query-remove"] = STATUS_DEVICE_BUSY;
    size_t mark = rig.log.size();
    pnp::RequestId r = pnp::QueryRemove(node);
    pnp::WaitFor(r);
    EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Vetoed);
    EXPECT_EQ(After(rig, mark), (Lines{"1:query-remove", "1:cancel-remove"}));
    EXPECT_EQ(removedPdo, nullptr);

    rig.answers.clear();
    mark = rig.log.size();
    r = pnp::QueryRemove(node);
    pnp::WaitFor(r);
    EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Done);
    EXPECT_EQ(After(rig, mark), (Lines{"1:query-remove", "1:remove"}));
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Removed);
    EXPECT_EQ(pnp::FdoOf(node), nullptr);
    EXPECT_EQ(removedPdo, rig.stacks[0]->pdo) << "the ejected device's PDO goes to the bus";
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

// The removal of a surprise-removed device waits for the last handle, by
// NtClose or ZwClose alike.
TEST(PnpManager, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval) {
  for (bool zw : {false, true}) {
    SCOPED_TRACE(zw ? "ZwClose" : "NtClose");
    sim::Kernel k(io_test::Options());
    WithRig(k, [zw](Rig &rig) {
      pnp::NodeId node = Bring(rig);
      HANDLE first = nullptr, second = nullptr;
      IO_STATUS_BLOCK iosb;
      ASSERT_EQ(sim::NtCreateFile(&first, GENERIC_READ, L"\\Device\\PnpTest1", &iosb, false), STATUS_SUCCESS);
      ASSERT_EQ(sim::NtCreateFile(&second, GENERIC_READ, L"\\Device\\PnpTest1", &iosb, false), STATUS_SUCCESS);
      size_t mark = rig.log.size();
      pnp::WaitFor(pnp::DeviceGone(rig.stacks[0]->pdo));
      EXPECT_EQ(After(rig, mark), (Lines{"1:surprise"}));
      EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::SurpriseRemoved);
      zw ? ZwClose(first) : sim::NtClose(first);
      pnp::WaitIdle();
      EXPECT_EQ(After(rig, mark), (Lines{"1:surprise"})) << "one handle is still open";
      zw ? ZwClose(second) : sim::NtClose(second);
      pnp::WaitIdle();
      EXPECT_EQ(After(rig, mark), (Lines{"1:surprise", "1:remove"}));
      EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Removed);
    });
    EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
  }
}

TEST(PnpManager, SurpriseRemovalWithNoHandleRemovesAtOnceAndAFailedStartIsRemoved) {
  sim::Kernel k(io_test::Options());
  WithRig(k, [](Rig &rig) {
    pnp::NodeId node = Bring(rig);
    pnp::DeviceGone(rig.stacks[0]->pdo);
    pnp::WaitIdle();
    EXPECT_EQ(After(rig, 3), (Lines{"1:surprise", "1:remove"}));
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Removed);

    rig.answers["2:start"] = STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT pdo = rig.MakePdo();
    pnp::RequestId r = pnp::Enumerate(pdo, rig.fdoDriver);
    pnp::WaitFor(r);
    EXPECT_EQ(pnp::Info(r).outcome, pnp::Outcome::Failed);
    EXPECT_EQ(pnp::Info(r).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(After(rig, 5), (Lines{"2:add", "2:start", "2:remove"}));
    EXPECT_EQ(pnp::StateOf(pnp::NodeOf(rig.stacks[1]->pdo)), pnp::NodeState::Failed);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

// Requests queued together run in arrival order, the next only when the
// last has finished, though the driver waits inside one of them.
TEST(PnpManager, RequestsRunOneAtATimeInArrivalOrder) {
  sim::Kernel k(io_test::Options());
  WithRig(k, [](Rig &rig) {
    pnp::NodeId one = Bring(rig);
    pnp::NodeId two = Bring(rig);
    rig.duringQueryStop = [] { io_test::DelayMs(20); };
    size_t mark = rig.log.size();
    pnp::Rebalance(one);
    pnp::QueryRemove(two);
    pnp::Rebalance(two);  // skipped: the node is removed by then
    pnp::RequestId last = pnp::Rebalance(one);
    pnp::WaitIdle();
    EXPECT_EQ(After(rig, mark), (Lines{"1:query-stop", "1:stop", "1:start", "1:caps", "2:query-remove", "2:remove",
                                       "1:query-stop", "1:stop", "1:start", "1:caps"}));
    EXPECT_EQ(rig.maxInFlight, 1);
    EXPECT_EQ(pnp::Info(last - 1).outcome, pnp::Outcome::Skipped);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(PnpManager, FailingARemovalOrACancelIsAFault) {
  for (const char *minor : {"1:cancel-stop", "1:remove", "1:surprise"}) {
    SCOPED_TRACE(minor);
    sim::Kernel k(io_test::Options());
    WithRig(k, [minor](Rig &rig) {
      pnp::NodeId node = Bring(rig);
      rig.answers["1:query-stop"] = STATUS_UNSUCCESSFUL;
      rig.answers[minor] = STATUS_UNSUCCESSFUL;
      rig.detachOnRemove = std::string(minor) != "1:remove";
      pnp::WaitFor(pnp::Rebalance(node));
      pnp::WaitFor(pnp::DeviceGone(rig.stacks[0]->pdo));
      pnp::WaitIdle();
      if (!rig.detachOnRemove) {  // the faulty driver kept its device: take it down for the teardown
        IoDetachDevice(rig.stacks[0]->pdo);
        IoDeleteDevice(rig.stacks[0]->fdo);
        rig.stacks[0]->fdo = nullptr;
      }
    });
    EXPECT_EQ(io_test::CountFaults(k, Fault::MustSucceedIrpFailed), 1) << io_test::DescribeFaults(k);
  }
}

TEST(PnpManager, ARemovalLeavingTheDeviceAttachedIsAFault) {
  sim::Kernel k(io_test::Options());
  WithRig(k, [](Rig &rig) {
    pnp::NodeId node = Bring(rig);
    rig.detachOnRemove = false;
    pnp::WaitFor(pnp::QueryRemove(node));
    IoDetachDevice(rig.stacks[0]->pdo);
    IoDeleteDevice(rig.stacks[0]->fdo);
    rig.stacks[0]->fdo = nullptr;
  });
  EXPECT_EQ(io_test::CountFaults(k, Fault::StackLeftAfterRemove), 1) << io_test::DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << io_test::DescribeFaults(k);
}
