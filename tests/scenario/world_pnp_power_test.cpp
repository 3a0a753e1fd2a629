// The world's Plug and Play and power calls on the current driver: what the
// machine sent and what the bus saw, never the driver's own power internals.
#include <gtest/gtest.h>

#include <sim/kernel/ntapi.h>
#include <sim/kernel/pnp_manager.h>
#include <sim/kernel/power_manager.h>

#include "sim/usb/device.h"
#include "sim/world/world.h"
#include "support/seeds.h"

namespace pnp = sim::pnp;
namespace power = sim::power;

namespace {

std::vector<UCHAR> MinorsFor(pnp::NodeId node) {
  std::vector<UCHAR> minors;
  for (const pnp::SentIrp &irp : pnp::Log())
    if (irp.node == node) minors.push_back(irp.minor);
  return minors;
}

bool Sent(pnp::NodeId node, UCHAR minor) {
  for (UCHAR m : MinorsFor(node))
    if (m == minor) return true;
  return false;
}

sim::WorldOptions OnSeed(uint64_t seed) {
  sim::WorldOptions options;
  options.seed = seed;
  options.model = "loopback";
  return options;
}

void ExpectNoFaults(sim::World &world) {
  for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
}

HANDLE OpenPort(bool overlapped) {
  HANDLE h = nullptr;
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(sim::NtCreateFile(&h, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, overlapped), STATUS_SUCCESS);
  return h;
}

}  // namespace

TEST(WorldPnp, PlugRebalanceAndEjectGoThroughThePnpManager) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::World world(OnSeed(seed));
    pnp::NodeId node = world.DeviceNode();
    ASSERT_NE(node, 0u);
    EXPECT_EQ(MinorsFor(node), (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE,
                                                    IRP_MN_QUERY_CAPABILITIES}));
    EXPECT_TRUE(world.Modem()->Started());
    size_t before = MinorsFor(node).size();
    bool rebalanced = world.Rebalance();
    std::vector<UCHAR> after = MinorsFor(node);
    after.erase(after.begin(), after.begin() + before);
    if (rebalanced)
      EXPECT_EQ(after, (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                           IRP_MN_QUERY_CAPABILITIES}));
    else
      EXPECT_EQ(after, (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_TRUE(world.Modem()->Started());
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);

    sim::usb::Device *old = world.Modem();
    if (world.QueryRemove()) {
      EXPECT_EQ(world.Fdo(), nullptr);
      EXPECT_TRUE(old->Removed());
      EXPECT_EQ(old->Pdo(), nullptr) << "the ejected modem's PDO is deleted";
      EXPECT_EQ(world.Replug(), STATUS_SUCCESS);
      EXPECT_NE(world.DeviceNode(), node);
      EXPECT_NE(world.Modem(), old);
      EXPECT_NE(world.Fdo(), nullptr);
    } else {
      EXPECT_TRUE(Sent(node, IRP_MN_CANCEL_REMOVE_DEVICE));
    }
    ExpectNoFaults(world);
    if (::testing::Test::HasFailure()) return;
  }
}

// Unplugged with the port open: the surprise removal comes with the hub's
// notice, the removal only when the application closes its handle.
TEST(WorldPnp, UnplugRemovesOnlyAfterTheLastHandleCloses) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::World world(OnSeed(seed));
    pnp::NodeId node = world.DeviceNode();
    HANDLE port = nullptr;
    world.Run([&] { port = OpenPort(false); });
    world.Unplug();
    world.Advance(400);
    world.WaitUntilSettled();
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::SurpriseRemoved);
    EXPECT_TRUE(Sent(node, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_FALSE(Sent(node, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(world.Replug(), STATUS_DEVICE_BUSY) << "the old device still waits for its removal";
    world.Run([&] { sim::NtClose(port); });
    world.WaitUntilSettled();
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Removed);
    EXPECT_EQ(MinorsFor(node).back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(world.Replug(), STATUS_SUCCESS);
    EXPECT_NE(world.DeviceNode(), node);
    world.Run([&] { sim::NtClose(OpenPort(false)); });
    ExpectNoFaults(world);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(WorldPower, SleepAndWakeReachTheBus) {
  for (int state = 2; state <= 5; ++state) {
    SCOPED_TRACE("S" + std::to_string(state - 1));
    sim::World world(OnSeed(testing_support::Seeds().front()));
    size_t mark = power::SystemLog().size();
    bool slept = world.Sleep(state);
    std::vector<power::SentSystemIrp> sent = power::SystemLog();
    sent.erase(sent.begin(), sent.begin() + mark);
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(int(sent[0].state), state);
    if (slept) {
      ASSERT_GE(sent.size(), 2u);
      EXPECT_EQ(world.SystemPowerState(), state);
      EXPECT_EQ(sent[1].minor, IRP_MN_SET_POWER);
      EXPECT_EQ(int(world.Modem()->SystemPowerState()), state);
      world.Wake();
    } else {
      // The only stack refused (a modem that cannot wake from there): nobody
      // agreed, so nobody is told the working state again.
      EXPECT_EQ(sent.size(), 1u);
      EXPECT_NE(sent[0].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(world.SystemPowerState(), int(PowerSystemWorking));
    EXPECT_EQ(world.Modem()->SystemPowerState(), PowerSystemWorking);
    EXPECT_FALSE(world.Sleep(1)) << "already working";
    ExpectNoFaults(world);
  }
}

// An application holds the port open with a read pending while the system
// sleeps and wakes; the remote wake is tried while it sleeps.
TEST(WorldPower, SleepAndWakeWithThePortOpenAndARemoteWake) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::World world(OnSeed(seed));
    world.Run([&] {
      HANDLE port = OpenPort(true);
      PKEVENT event = sim::NtCreateEvent(NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb;
      char buffer[16];
      NTSTATUS read = sim::NtReadFile(port, event, &iosb, buffer, sizeof buffer);
      if (world.WaitForPower(world.SleepAsync(PowerSystemSleeping3))) {
        bool signalled = world.SignalWakeFromModem();
        LARGE_INTEGER interval;
        interval.QuadPart = -20 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        world.WaitUntilSettled();
        EXPECT_EQ(world.SystemPowerState(), signalled ? int(PowerSystemWorking) : int(PowerSystemSleeping3));
        world.WaitForPower(world.WakeAsync());
      }
      EXPECT_EQ(world.SystemPowerState(), int(PowerSystemWorking));
      IO_STATUS_BLOCK cancel;
      sim::NtCancelIoFile(port, &cancel);
      if (read == STATUS_PENDING) KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
      sim::NtClose(port);
      sim::NtCloseEvent(event);
    });
    ExpectNoFaults(world);
    if (::testing::Test::HasFailure()) return;
  }
}
