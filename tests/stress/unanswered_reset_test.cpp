// A modem that never answers the pipe reset of an open: the open fails after
// the reset's time limit instead of waiting forever, and the next open, with
// the modem answering again, works. Found by the stress runner's
// no-answer-urb:ResetPipe plans.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"
#include "support/win32_machine.h"

using namespace testing_support;
using sim::usb::RequestKind;

TEST(UnansweredPipeReset, OpenFailsWithinTheResetTimeLimitAndTheNextOpenWorks) {
  for (uint32_t nth : {1u, 2u}) {
    SCOPED_TRACE("the reset left unanswered: #" + std::to_string(nth));
    ForEachSeed([nth](sim::World &world) {
      world.Run([&] {
        world.Modem()->NoAnswerNth(RequestKind::ResetPipe, nth);
        HANDLE port;
        IO_STATUS_BLOCK iosb;
        uint64_t start = sim::NowMs();
        EXPECT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false),
                  STATUS_IO_TIMEOUT);
        EXPECT_LT(sim::NowMs() - start, 1000u);
        EXPECT_EQ(world.Extension()->OpenCount, 0);
        ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false),
                  STATUS_SUCCESS);
        EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
      });
    });
  }
}
