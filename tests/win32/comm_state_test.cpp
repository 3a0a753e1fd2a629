// SetCommState and GetCommState: the control requests they send, in kernel32's
// order, and what reaches the driver's record.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"
#include "win32/control_log.h"
#include "win32/device_probe.h"

using namespace testing_support;

namespace {

DCB BaseDcb() {
  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fBinary = TRUE;
  return dcb;
}

const std::vector<uint32_t> kStateFetch = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                           IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW};
const std::vector<uint32_t> kStateStore = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                           IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW};

std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(CommState, SetSendsFetchThenStoreThenLinesPerControlMode) {
  struct Case {
    unsigned dtr, rts;
    std::vector<uint32_t> lines;
  };
  const Case cases[] = {
      {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}},
      {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS}},
      {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, {}},
      {DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, {IOCTL_SERIAL_SET_DTR}},
  };
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    for (const Case &c : cases) {
      SCOPED_TRACE("fDtrControl " + std::to_string(c.dtr) + ", fRtsControl " + std::to_string(c.rts));
      DCB dcb = BaseDcb();
      dcb.fDtrControl = c.dtr;
      dcb.fRtsControl = c.rts;
      ControlLog log;
      ASSERT_TRUE(SetCommState(port, &dcb));
      EXPECT_EQ(log.Take(), Join(Join(kStateFetch, kStateStore), c.lines));
    }
  });
}

TEST(CommState, DcbFieldsReachTheDriverAndComeBack) {
  RunOnOneMachineWithCom7(false, [&](sim::World &world, HANDLE port) {
    DCB dcb = BaseDcb();
    dcb.BaudRate = 57600;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fNull = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = TRUE;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(port, &dcb));

    probe::PortSettings s = probe::Settings(world);
    EXPECT_EQ(s.baudRate, 57600u);
    EXPECT_EQ(s.wordLength, 7);
    EXPECT_EQ(s.parity, EVENPARITY);
    EXPECT_EQ(s.stopBits, TWOSTOPBITS);
    EXPECT_EQ(s.eventChar, '\r');
    EXPECT_EQ(s.eofChar, 0x1A);
    EXPECT_EQ(s.errorChar, '?');
    EXPECT_EQ(s.xonChar, 0x11);
    EXPECT_EQ(s.xoffChar, 0x13);
    // SERIAL_DTR_HANDSHAKE | CTS | DSR handshake | DSR sensitivity | ERROR_ABORT
    EXPECT_EQ(s.controlHandShake, 0x80000000u | 0x40u | 0x10u | 0x08u | 0x02u);
    // RTS handshake | auto transmit | auto receive | error char | null stripping | XOFF continue
    EXPECT_EQ(s.flowReplace, 0x80000000u | 0x80u | 0x01u | 0x02u | 0x04u | 0x08u);
    EXPECT_EQ(s.xonLimit, 100);
    EXPECT_EQ(s.xoffLimit, 200);

    DCB back;
    memset(&back, 0xCC, sizeof(back));
    ControlLog log;
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(log.Take(), kStateFetch);
    EXPECT_EQ(back.DCBlength, sizeof(DCB));
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(back.fBinary);
    EXPECT_TRUE(back.fOutxCtsFlow);
    EXPECT_TRUE(back.fOutxDsrFlow);
    EXPECT_EQ(back.fDtrControl, (DWORD)DTR_CONTROL_HANDSHAKE);
    EXPECT_TRUE(back.fDsrSensitivity);
    EXPECT_TRUE(back.fTXContinueOnXoff);
    EXPECT_TRUE(back.fOutX);
    EXPECT_TRUE(back.fInX);
    EXPECT_TRUE(back.fErrorChar);
    EXPECT_TRUE(back.fNull);
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(back.fAbortOnError);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
    EXPECT_EQ(back.EvtChar, '\r');
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
  });
}

TEST(CommState, DcbKeepsWindowsLayout) {
  EXPECT_EQ(sizeof(DCB), 28u);
  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fAbortOnError = 1;
  uint32_t bits;
  memcpy(&bits, reinterpret_cast<const char *>(&dcb) + 8, 4);
  EXPECT_EQ(bits, (2u << 4) | (3u << 12) | (1u << 14));
  EXPECT_EQ(offsetof(DCB, XonLim), 14u);
  EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
  EXPECT_EQ(sizeof(COMMPROP), 64u);
  EXPECT_EQ(sizeof(COMMTIMEOUTS), 20u);
  EXPECT_EQ(sizeof(COMSTAT), 12u);
}
