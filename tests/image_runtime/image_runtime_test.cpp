// The checks only a mapped image makes possible, each made to fire by a small
// test driver of tests/image_runtime/drivers built as a PE image; and legal code
// that passes them.
#include <gtest/gtest.h>

#include <string>

#include "kernel/sched_test_util.h"
#include "sim/image/image_load.h"
#include "sim/image/image_runtime.h"
#include "sim/kernel/internal.h"

using namespace sched_test;
using sim::Fault;

namespace {

std::string g_image;

NTSTATUS NTAPI EnterTestImage(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return sim::image::LoadAndEnter(g_image.c_str(), driver, registryPath);
}

// Loads tests/image/drivers/NAME.cpp's image in a fresh driver object.
NTSTATUS LoadTestImage(const char *name, PDRIVER_OBJECT *driver) {
  g_image = std::string(USBMODEM_TEST_IMAGES) + "/" + name + ".sys";
  return sim::internal::LoadDriver(L"\\Driver\\imagetest", EnterTestImage,
                                   L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\imagetest", driver);
}

std::string FirstDetail(const sim::Kernel &k, Fault f) {
  for (const auto &r : k.Faults())
    if (r.kind == f) return r.routine + ": " + r.detail;
  return "";
}

class ImageRuntime : public testing::Test {
 protected:
  // No re-exec: the program runs under an emulator that a child's exec would not.
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    sim::image::ResetStackUse();
  }
};

TEST_F(ImageRuntime, LegalCodeRunsOnItsDriverStackAndUnloads) {
  sim::Kernel k(Options());
  k.Run([] {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(LoadTestImage("legal", &driver), STATUS_SUCCESS);
    sim::internal::UnloadDriver(driver);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
  auto use = sim::image::DeepestStackUse();
  ASSERT_EQ(use.size(), 2u);
  for (const auto &u : use) {
    EXPECT_TRUE(u.entry == "DriverEntry" || u.entry == "Unload") << u.entry;
    EXPECT_GT(u.deepestBytes, 0u);
    EXPECT_LT(u.deepestBytes, 2048u) << u.entry;
    EXPECT_EQ(u.calls, 1u);
  }
}

TEST_F(ImageRuntime, SpinLockTakenInPageableCode) {
  sim::Kernel k(Options());
  k.Run([] {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(LoadTestImage("page_spinlock", &driver), STATUS_SUCCESS);
  });
  // Back from KfAcquireSpinLock at DISPATCH_LEVEL into PAGE; the release
  // returns at PASSIVE_LEVEL.
  ASSERT_EQ(CountFaults(k, Fault::PagedCodeAtDispatch), 1) << DescribeFaults(k);
  std::string detail = FirstDetail(k, Fault::PagedCodeAtDispatch);
  EXPECT_NE(detail.find("KfAcquireSpinLock: pageable code at DISPATCH_LEVEL: CountUnderLock+0x"), std::string::npos)
      << detail;
  EXPECT_NE(detail.find("returned from KfAcquireSpinLock at IRQL 2"), std::string::npos) << detail;
  EXPECT_NE(detail.find("(section PAGE)"), std::string::npos) << detail;
}

TEST_F(ImageRuntime, ImportTheKernelLacksFailsTheLoad) {
  sim::Kernel k(Options());
  k.Run([] {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(LoadTestImage("missing_import", &driver), static_cast<NTSTATUS>(0xC000007AL));
    EXPECT_NE(sim::image::LastLoadError().find("ntoskrnl.exe!KeBugCheckEx"), std::string::npos)
        << sim::image::LastLoadError();
    sim::internal::UnloadDriver(driver);
  });
}

TEST_F(ImageRuntime, KernelCalledWithTooLittleStackLeft) {
  sim::Kernel k(Options());
  k.Run([] {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(LoadTestImage("low_stack", &driver), STATUS_SUCCESS);
  });
  ASSERT_EQ(CountFaults(k, Fault::DriverStackOverflow), 1) << DescribeFaults(k);
  std::string detail = FirstDetail(k, Fault::DriverStackOverflow);
  EXPECT_NE(detail.find("KeGetCurrentIrql: RecurseThenCall+0x"), std::string::npos) << detail;
  EXPECT_NE(detail.find("entered at DriverEntry"), std::string::npos) << detail;
}

TEST_F(ImageRuntime, RecursionPastTheDriverStackEndsTheRun) {
  EXPECT_EXIT(
      {
        sim::Kernel k(DyingOptions(1));
        k.Run([] {
          PDRIVER_OBJECT driver = nullptr;
          LoadTestImage("deep_recursion", &driver);
        });
      },
      testing::ExitedWithCode(3), "fault DriverStackOverflow in Recurse\\+0x.*12 KiB.*entered at DriverEntry");
}

TEST_F(ImageRuntime, InitCodeCalledAfterDriverEntryEndsTheRun) {
  EXPECT_EXIT(
      {
        sim::Kernel k(DyingOptions(1));
        k.Run([] {
          PDRIVER_OBJECT driver = nullptr;
          if (LoadTestImage("init_after_entry", &driver) == STATUS_SUCCESS) sim::internal::UnloadDriver(driver);
        });
      },
      testing::ExitedWithCode(3), "fault DiscardedCodeCalled in Unload.*section INIT");
}

}  // namespace
