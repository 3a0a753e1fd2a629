// The comm helpers other than the DCB: one control request each, and what the
// driver answers.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"
#include "win32/control_log.h"
#include "win32/device_probe.h"

using namespace testing_support;

TEST(CommHelpers, EachSendsItsControlCode) {
  RunOnOneMachineWithCom7(false, [&](sim::World &world, HANDLE port) {
    ControlLog log;
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(port, &t));
    EXPECT_TRUE(GetCommTimeouts(port, &t));
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    EXPECT_TRUE(GetCommMask(port, &mask));
    DWORD errors;
    COMSTAT stat;
    EXPECT_TRUE(ClearCommError(port, &errors, &stat));
    DWORD modem;
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    COMMPROP props;
    EXPECT_TRUE(GetCommProperties(port, &props));
    EXPECT_TRUE(TransmitCommChar(port, 'x'));
    EXPECT_TRUE(SetupComm(port, 4096, 2048));
    EXPECT_EQ(log.Take(), (std::vector<uint32_t>{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
                                                 IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK,
                                                 IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS,
                                                 IOCTL_SERIAL_PURGE, IOCTL_SERIAL_GET_PROPERTIES,
                                                 IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_SET_QUEUE_SIZE}));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    probe::PortSettings s = probe::Settings(world);
    EXPECT_EQ(s.queueIn, 4096u);
    EXPECT_EQ(s.queueOut, 2048u);
    EXPECT_EQ(s.waitMask, (uint32_t)EV_RXCHAR);
  });
}

TEST(CommHelpers, EscapeFunctionsMapToTheirRequests) {
  const std::pair<DWORD, uint32_t> rows[] = {
      {SETXOFF, IOCTL_SERIAL_SET_XOFF},     {SETXON, IOCTL_SERIAL_SET_XON},
      {SETRTS, IOCTL_SERIAL_SET_RTS},       {CLRRTS, IOCTL_SERIAL_CLR_RTS},
      {SETDTR, IOCTL_SERIAL_SET_DTR},       {CLRDTR, IOCTL_SERIAL_CLR_DTR},
      {RESETDEV, IOCTL_SERIAL_RESET_DEVICE}, {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
      {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
  };
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    ControlLog log;
    for (const auto &row : rows) {
      EXPECT_TRUE(EscapeCommFunction(port, row.first)) << row.first;
      EXPECT_EQ(log.Take(), std::vector<uint32_t>{row.second}) << row.first;
    }
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(port, 10));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(log.Take().empty());
  });
}

TEST(CommHelpers, DtrAndRtsDriveTheModemStatus) {
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    DWORD status = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON), 0u);
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(port, SETRTS));
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON);
  });
}

TEST(CommHelpers, PropertiesAreTheDriversBlock) {
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    COMMPROP p;
    memset(&p, 0xCC, sizeof(p));
    ASSERT_TRUE(GetCommProperties(port, &p));
    EXPECT_EQ(p.wPacketLength, 64);
    EXPECT_EQ(p.wPacketVersion, 2);
    EXPECT_EQ(p.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(p.dwMaxTxQueue, 0u);
    EXPECT_EQ(p.dwMaxRxQueue, 40960u);
    EXPECT_EQ(p.dwMaxBaud, BAUD_USER);
    EXPECT_EQ(p.dwProvSubType, PST_RS232);
    EXPECT_EQ(p.dwProvCapabilities, PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_TOTALTIMEOUTS |
                                        PCF_INTTIMEOUTS | PCF_SPECIALCHARS);
    EXPECT_EQ(p.dwSettableParams, SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                                      SP_PARITY_CHECK | SP_RLSD);
    EXPECT_EQ(p.dwSettableBaud, 0x10067FF0u);
    EXPECT_EQ(p.wSettableData, DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    EXPECT_EQ(p.wSettableStopParity, STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                                         PARITY_EVEN | PARITY_MARK | PARITY_SPACE);
  });
}

TEST(CommHelpers, ClearCommErrorReportsTheReceiveQueue) {
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "0123456789", 10, &written, NULL));
    Sleep(50);  // the loopback sends it back within a few frames
    DWORD errors = 0xFF;
    COMSTAT stat;
    memset(&stat, 0xFF, sizeof(stat));
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 10u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(stat.fCtsHold | stat.fDsrHold | stat.fRlsdHold | stat.fXoffHold | stat.fEof | stat.fTxim, 0);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
  });
}
