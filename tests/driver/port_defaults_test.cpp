// Port defaults as a fresh device reports them through control requests, and
// which settings survive the defaults being applied again at an open.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/port_defaults.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

void PutU16(std::vector<uint8_t> &b, size_t off, uint16_t v) {
  b[off] = v & 0xFF;
  b[off + 1] = v >> 8;
}
void PutU32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = (v >> (8 * i)) & 0xFF;
}

// The properties block as applications receive it, byte for byte.
std::vector<uint8_t> ExpectedProperties() {
  std::vector<uint8_t> b(64, 0);
  PutU16(b, 0, 64);            // PacketLength
  PutU16(b, 2, 2);             // PacketVersion
  PutU32(b, 4, 1);             // ServiceMask: SERIAL_SP_SERIALCOMM
  PutU32(b, 12, 0);            // MaxTxQueue
  PutU32(b, 16, 40960);        // MaxRxQueue
  PutU32(b, 20, 0x10000000);   // MaxBaud: user-defined
  PutU32(b, 24, 1);            // ProvSubType: RS-232
  PutU32(b, 28, 0x1CF);        // ProvCapabilities
  PutU32(b, 32, 0x7F);         // SettableParams
  PutU32(b, 36, 0x10067FF0);   // SettableBaud
  PutU16(b, 40, 0x000F);       // SettableData
  PutU16(b, 42, 0x1F07);       // SettableStopParity
  return b;
}

std::vector<uint8_t> Prefix(const IoctlResult &r) {
  return std::vector<uint8_t>(r.out.begin(), r.out.begin() + std::min<size_t>(r.information, r.out.size()));
}

}  // namespace

TEST(PortDefaults, FreshDeviceReportsTheDefaults) {
  RunOnDevice([](TestDevice &dev) {
    IoctlResult baud = dev.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
    EXPECT_TRUE(CompletedWith(baud, STATUS_SUCCESS, 4u));
    EXPECT_EQ(baud.OutUlong(), 115200u);

    IoctlResult lc = dev.Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, 3);
    EXPECT_TRUE(CompletedWith(lc, STATUS_SUCCESS, 3u));
    EXPECT_EQ(Prefix(lc), (std::vector<uint8_t>{0, 0, 8}));  // StopBits, Parity, WordLength

    IoctlResult mask = dev.Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4);
    EXPECT_EQ(mask.status, STATUS_SUCCESS);
    EXPECT_EQ(mask.OutUlong(), 0u);

    IoctlResult to = dev.Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, 20);
    EXPECT_TRUE(CompletedWith(to, STATUS_SUCCESS, 20u));
    EXPECT_EQ(Prefix(to), std::vector<uint8_t>(20, 0));

    IoctlResult props = dev.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 64);
    EXPECT_TRUE(CompletedWith(props, STATUS_SUCCESS, 64u));
    EXPECT_EQ(Prefix(props), ExpectedProperties());

    IoctlResult ms = dev.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4);
    EXPECT_EQ(ms.OutUlong(), 0u);
    EXPECT_EQ(dev.Ext()->QueueSize.InSize, 40960u);
    EXPECT_EQ(dev.Ext()->QueueSize.OutSize, 0u);
    EXPECT_EQ(dev.Ext()->LineState, 0);
  });
}

TEST(PortDefaults, ReapplyingKeepsTimeoutsCharsHandflowAndStatsButResetsTheRest) {
  RunOnDevice([](TestDevice &dev) {
    SERIAL_TIMEOUTS to = {1, 2, 3, 4, 5};
    SERIAL_CHARS chars = {0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x13};
    SERIAL_HANDFLOW hf = {0x01, 0x40, 100, 200};
    SERIAL_LINE_CONTROL lc = {2, 1, 7};
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof(to), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof(hf), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof(lc), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_BAUD_RATE, 9600).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x0B).status, STATUS_SUCCESS);
    dev.Ext()->PerfStats.ReceivedCount = 17;

    InitializePortDefaults(dev.Ext());  // what every open does

    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4).OutUlong(), 115200u);
    EXPECT_EQ(Prefix(dev.Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, 3)), (std::vector<uint8_t>{0, 0, 8}));
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4).OutUlong(), 0u);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, 4).OutUlong(), 0u);

    IoctlResult gotTo = dev.Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, 20);
    EXPECT_EQ(memcmp(gotTo.out.data(), &to, sizeof(to)), 0);
    IoctlResult gotChars = dev.Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, 6);
    EXPECT_EQ(memcmp(gotChars.out.data(), &chars, sizeof(chars)), 0);
    IoctlResult gotHf = dev.Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, 16);
    EXPECT_EQ(memcmp(gotHf.out.data(), &hf, sizeof(hf)), 0);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, 24).OutUlong(0), 17u);
    EXPECT_EQ(Prefix(dev.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 64)), ExpectedProperties());
  });
}

TEST(PortDefaults, ReapplyingClearsTheLineImagesAndEveryLatchedChange) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    // A session with carrier up and changes nobody consumed.
    ext->LineState = 0x38;
    ext->ModemStatus = 0xB0;
    ext->ModemControl = 0xB3;
    ext->CtsChanged = 1;
    ext->DsrChanged = 1;
    ext->RlsdChanged = 1;

    InitializePortDefaults(ext);

    EXPECT_EQ(ext->LineState, 0);
    EXPECT_EQ(ext->ModemStatus, 0u);
    EXPECT_EQ(ext->ModemControl, 0u);
    EXPECT_EQ(ext->CtsChanged, 0);
    EXPECT_EQ(ext->DsrChanged, 0);
    EXPECT_EQ(ext->RlsdChanged, 0);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4).OutUlong(), 0u);
  });
}
