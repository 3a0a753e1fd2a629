// The serial control dispatcher's stored settings: length and buffer checks,
// values kept without validation, and refusal outside the working state.
#include <gtest/gtest.h>

#include <cstring>

#include "datapath/ring.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

struct Row {
  const char *name;
  ULONG code;
  ULONG needed;
  bool input;  // TRUE: the length checked is the input length
};

const Row kSetRows[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, true},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, true},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, true},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, true},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, true},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, true},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4, true},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, true},
};

const Row kGetRows[] = {
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 20, false},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 4, false},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 3, false},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 6, false},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 16, false},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 4, false},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 20, false},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 64, false},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 4, false},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 4, false},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, 24, false},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 4, false},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 4, false},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 4, false},
};

// Every settings field a request could change.
struct Settings {
  ULONG baud, modemControl, modemStatus, waitMask;
  SERIAL_LINE_CONTROL lc;
  SERIAL_TIMEOUTS to;
  SERIAL_CHARS chars;
  SERIAL_HANDFLOW hf;
  SERIAL_QUEUE_SIZE qs;
  SERIALPERF_STATS stats;
};

Settings Snapshot(PDEVICE_EXTENSION e) {
  return Settings{e->BaudRate, e->ModemControl, e->ModemStatus, e->WaitMask, e->LineControl, e->Timeouts,
                  e->SpecialChars, e->HandFlow, e->QueueSize, e->PerfStats};
}

bool operator==(const Settings &a, const Settings &b) {
  return a.baud == b.baud && a.modemControl == b.modemControl && a.modemStatus == b.modemStatus &&
         a.waitMask == b.waitMask && memcmp(&a.lc, &b.lc, sizeof(a.lc)) == 0 &&
         memcmp(&a.to, &b.to, sizeof(a.to)) == 0 && memcmp(&a.chars, &b.chars, sizeof(a.chars)) == 0 &&
         memcmp(&a.hf, &b.hf, sizeof(a.hf)) == 0 && memcmp(&a.qs, &b.qs, sizeof(a.qs)) == 0 &&
         memcmp(&a.stats, &b.stats, sizeof(a.stats)) == 0;
}

}  // namespace

TEST(SettingsControl, ShortBuffersFailWithBufferTooSmallAndChangeNothing) {
  RunOnDevice([](TestDevice &dev) {
    // Non-default contents, so a partial store would show.
    dev.Ext()->WaitMask = SERIAL_EV_CTS;
    std::vector<uint8_t> junk(64, 0x5A);
    for (const Row &row : kSetRows) {
      SCOPED_TRACE(row.name);
      Settings before = Snapshot(dev.Ext());
      IoctlResult r = dev.Ioctl(row.code, junk.data(), row.needed - 1, 0);
      EXPECT_TRUE(CompletedWith(r, STATUS_BUFFER_TOO_SMALL, 0u));
      EXPECT_TRUE(Snapshot(dev.Ext()) == before);
      EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    }
    for (const Row &row : kGetRows) {
      SCOPED_TRACE(row.name);
      IoctlResult r = dev.Ioctl(row.code, nullptr, 0, row.needed - 1);
      EXPECT_TRUE(CompletedWith(r, STATUS_BUFFER_TOO_SMALL, 0u));
      EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    }
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
  });
}

TEST(SettingsControl, MissingSystemBufferFailsWithAccessViolation) {
  RunOnDevice([](TestDevice &dev) {
    dev.Ext()->WaitMask = SERIAL_EV_CTS;  // so a wait-on-mask would otherwise be accepted
    auto check = [&](const Row &row) {
      SCOPED_TRACE(row.name);
      IoctlResult r = SendIoctlWithoutBuffer(dev.Fdo(), row.code, row.input ? row.needed : 0,
                                             row.input ? 0 : row.needed);
      EXPECT_TRUE(CompletedWith(r, STATUS_ACCESS_VIOLATION, 0u));
      EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    };
    for (const Row &row : kSetRows) check(row);
    for (const Row &row : kGetRows) check(row);
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
  });
}

TEST(SettingsControl, ValuesAreStoredWithoutValidation) {
  RunOnDevice([](TestDevice &dev) {
    for (ULONG baud : {0u, 7u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(baud);
      IoctlResult set = dev.IoctlUlong(IOCTL_SERIAL_SET_BAUD_RATE, baud);
      EXPECT_TRUE(CompletedWith(set, STATUS_SUCCESS, 0u));
      IoctlResult get = dev.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
      EXPECT_TRUE(CompletedWith(get, STATUS_SUCCESS, 4u));
      EXPECT_EQ(get.OutUlong(), baud);
    }
    SERIAL_LINE_CONTROL lc = {9, 200, 3};
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof(lc), 0).status, STATUS_SUCCESS);
    IoctlResult gotLc = dev.Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, 8);
    EXPECT_EQ(gotLc.information, 3u);
    EXPECT_EQ(memcmp(gotLc.out.data(), &lc, 3), 0);
    EXPECT_EQ(gotLc.out[3], 0xEE) << "only 3 bytes are returned";

    SERIAL_QUEUE_SIZE qs = {12345, 678};
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &qs, sizeof(qs), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->QueueSize.InSize, 12345u);
    EXPECT_EQ(dev.Ext()->QueueSize.OutSize, 678u);

    SERIAL_TIMEOUTS to = {MAXULONG, 0, 0, 7, 9};
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof(to), 0).status, STATUS_SUCCESS);
    IoctlResult gotTo = dev.Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, 20);
    EXPECT_EQ(memcmp(gotTo.out.data(), &to, sizeof(to)), 0);
  });
}

TEST(SettingsControl, ConfigSizeIsZeroWithInformationFour) {
  RunOnDevice([](TestDevice &dev) {
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, 8);
    EXPECT_TRUE(CompletedWith(r, STATUS_SUCCESS, 4u));
    EXPECT_EQ(r.OutUlong(), 0u);
  });
}

TEST(SettingsControl, CommStatusReportsTheBytesInTheRingAndNothingElse) {
  RunOnDevice([](TestDevice &dev) {
    std::vector<uint8_t> data(100, 0x41);
    RingAppend(dev.Ext(), data.data(), 100);
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, 20);
    EXPECT_TRUE(CompletedWith(r, STATUS_SUCCESS, 20u));
    SERIAL_STATUS expected;
    memset(&expected, 0, sizeof(expected));
    expected.AmountInInQueue = 100;
    EXPECT_EQ(memcmp(r.out.data(), &expected, sizeof(expected)), 0);
  });
}

TEST(SettingsControl, ModemControlIsSetWholeAndDtrRtsIsItsLowTwoBits) {
  RunOnDevice([](TestDevice &dev) {
    EXPECT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x0B).status, STATUS_SUCCESS);
    IoctlResult mc = dev.Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, 4);
    EXPECT_TRUE(CompletedWith(mc, STATUS_SUCCESS, 4u));
    EXPECT_EQ(mc.OutUlong(), 0x0Bu);
    IoctlResult dtrrts = dev.Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, 4);
    EXPECT_TRUE(CompletedWith(dtrrts, STATUS_SUCCESS, 4u));
    EXPECT_EQ(dtrrts.OutUlong(), 3u);
  });
}

TEST(SettingsControl, StatisticsAreReturnedAndCleared) {
  RunOnDevice([](TestDevice &dev) {
    dev.Ext()->PerfStats.ReceivedCount = 11;
    dev.Ext()->PerfStats.TransmittedCount = 22;
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, 24);
    EXPECT_EQ(r.information, 24u);
    EXPECT_EQ(r.OutUlong(0), 11u);
    EXPECT_EQ(r.OutUlong(4), 22u);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
    r = dev.Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, 24);
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.begin() + 24), std::vector<uint8_t>(24, 0));
  });
}

TEST(SettingsControl, ClearingStatisticsZeroesAllSixCounters) {
  RunOnDevice([](TestDevice &dev) {
    SERIALPERF_STATS &stats = dev.Ext()->PerfStats;
    stats.ReceivedCount = 1;
    stats.TransmittedCount = 2;
    stats.FrameErrorCount = 3;
    stats.SerialOverrunErrorCount = 4;
    stats.BufferOverrunErrorCount = 5;
    stats.ParityErrorCount = 6;
    EXPECT_TRUE(CompletedWith(dev.Ioctl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS, 0u));
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, 24);
    ASSERT_TRUE(CompletedWith(r, STATUS_SUCCESS, 24u));
    for (size_t counter = 0; counter < 6; ++counter) EXPECT_EQ(r.OutUlong(4 * counter), 0u) << "counter " << counter;
  });
}

TEST(SettingsControl, UnlistedCodesSucceedWithoutEffect) {
  RunOnDevice([](TestDevice &dev) {
    for (ULONG code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_RESET_DEVICE,
                       IOCTL_SERIAL_LSRMST_INSERT}) {
      SCOPED_TRACE(code);
      Settings before = Snapshot(dev.Ext());
      IoctlResult r = dev.Ioctl(code, nullptr, 0, 8);
      EXPECT_TRUE(CompletedWith(r, STATUS_SUCCESS, 0u));
      EXPECT_TRUE(Snapshot(dev.Ext()) == before);
      EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    }
    EXPECT_EQ(dev.Lower().Count(), 0u) << "nothing goes to the device";
  });
}

TEST(SettingsControl, EveryRequestFailsOutsideTheWorkingStateWithoutAReference) {
  RunOnMachine([] {
    for (ULONG state : {ULONG(NotStarted), ULONG(PendingStop), ULONG(PendingRemove)}) {
      SCOPED_TRACE("state " + std::to_string(state));
      TestDevice dev(state);
      dev.Ext()->WaitMask = SERIAL_EV_CTS;
      Settings before = Snapshot(dev.Ext());
      for (ULONG code : {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_DTR,
                         IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK,
                         IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_BREAK_ON}) {
        SCOPED_TRACE(code);
        ULONG value = 1200;
        IoctlResult r = dev.Ioctl(code, &value, sizeof(value), 64);
        EXPECT_TRUE(CompletedWith(r, STATUS_UNSUCCESSFUL, 0u));
        EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
      }
      EXPECT_TRUE(Snapshot(dev.Ext()) == before);
      EXPECT_EQ(dev.Ext()->LineState, 0);
      EXPECT_EQ(dev.Lower().Count(), 0u);
      EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
    }
  });
}
