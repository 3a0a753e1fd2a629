// Device objects: deleted only once detached and with their I/O timer
// stopped, and an I/O timer initialised once.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

Dispatch g_completes = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };

TEST(IoVerifierDevice, DeviceDeletedWhileStillAttached) {
  for (bool detachFirst : {false, true}) {
    SCOPED_TRACE(detachFirst ? "detached first" : "still attached");
    sim::Kernel k(Options());
    k.Run([&] {
      PDRIVER_OBJECT driver = MakeDriver();
      PDEVICE_OBJECT lower = MakeDevice(driver, &g_completes);
      PDEVICE_OBJECT upper = MakeDevice(driver, &g_completes);
      ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
      if (detachFirst) IoDetachDevice(lower);
      IoDeleteDevice(upper);
      // No pointer to the freed object is left behind: the lower device is
      // the top of its stack again, and requests sent to it stay with it.
      EXPECT_EQ(lower->AttachedDevice, nullptr);
      PIRP irp;
      EXPECT_EQ(SendOne(lower, &irp), STATUS_SUCCESS);
      IoFreeIrp(irp);
      IoDeleteDevice(lower);
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::DeviceDeletedWhileAttached), detachFirst ? 0 : 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), detachFirst ? 0u : 1u) << DescribeFaults(k);
  }
}

VOID NTAPI CountTicks(PDEVICE_OBJECT, PVOID context) { ++*static_cast<int *>(context); }

TEST(IoVerifierDevice, IoTimerInitializedTwice) {
  sim::Kernel k(Options());
  int first = 0, second = 0;
  k.Run([&] {
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &g_completes);
    EXPECT_EQ(IoInitializeTimer(device, CountTicks, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoInitializeTimer(device, CountTicks, &second), STATUS_SUCCESS);
    IoStartTimer(device);
    DelayMs(1500);
    IoStopTimer(device);
    IoDeleteDevice(device);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::IoTimerInitializedTwice), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "IoInitializeTimer");
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
  // The device keeps one timer, with the routine and context of the last call.
  EXPECT_EQ(first, 0);
  EXPECT_GE(second, 1);  // once a second at the I/O timer's phase: one or two calls in 1.5 s
  EXPECT_LE(second, 2);
}

TEST(IoVerifierDevice, DeviceDeletedWithItsIoTimerStarted) {
  for (bool stopFirst : {false, true}) {
    SCOPED_TRACE(stopFirst ? "stopped first" : "still started");
    sim::Kernel k(Options());
    int ticks = 0, atDelete = 0;
    k.Run([&] {
      PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &g_completes);
      IoInitializeTimer(device, CountTicks, &ticks);
      IoStartTimer(device);
      DelayMs(1100);
      if (stopFirst) IoStopTimer(device);
      atDelete = ticks;
      IoDeleteDevice(device);
      DelayMs(2000);  // the timer went with the device either way
    });
    k.Shutdown();
    EXPECT_GE(atDelete, 1);
    EXPECT_EQ(ticks, atDelete);
    ASSERT_EQ(CountFaults(k, Fault::DeviceDeletedWithTimerQueued), stopFirst ? 0 : 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), stopFirst ? 0u : 1u) << DescribeFaults(k);
    if (!stopFirst) {
      EXPECT_TRUE(AnyFaultMentions(k, Fault::DeviceDeletedWithTimerQueued, "I/O timer")) << DescribeFaults(k);
    }
  }
}

}  // namespace
