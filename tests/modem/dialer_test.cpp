// The Hayes modem through the whole machine, as a dialer or terminal program
// drives it on COM7: ReadFile with time-outs, DTR by EscapeCommFunction, the
// carrier by GetCommModemStatus (which follows the driver's status poll).
#include <gtest/gtest.h>

#include <string>

#include "sim/modem/hayes_modem.h"
#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;
using sim::modem::Caller;
using sim::modem::FarEnd;
using sim::modem::HayesModem;

namespace {

HayesModem *ModemOf(sim::World &world) { return static_cast<HayesModem *>(world.ModemModel()); }

// Opens COM7 with DTR raised and reads that return after 100 ms or at the first bytes.
HANDLE OpenModem() {
  HANDLE port = OpenCom7();
  if (port == INVALID_HANDLE_VALUE) return port;
  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  EXPECT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 100, 0, 0};
  EXPECT_TRUE(SetCommTimeouts(port, &t));
  return port;
}

void Send(HANDLE port, const std::string &text) {
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, text.data(), DWORD(text.size()), &written, NULL));
  EXPECT_EQ(text.size(), written);
}

// Everything read until `token` has come, or the time-out (virtual ms) passed.
std::string ReadUntil(HANDLE port, const std::string &token, DWORD timeoutMs = 5000) {
  std::string seen;
  DWORD start = GetTickCount();
  while (seen.find(token) == std::string::npos && GetTickCount() - start < timeoutMs) {
    char buffer[256];
    DWORD got = 0;
    if (!ReadFile(port, buffer, sizeof(buffer), &got, NULL)) break;
    seen.append(buffer, got);
  }
  EXPECT_NE(std::string::npos, seen.find(token)) << "waited for \"" << token << "\", saw \"" << seen << "\"";
  return seen;
}

// The modem lines in `mask` reach `expected` within a few status polls.
bool LinesBecome(HANDLE port, DWORD mask, DWORD expected) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD status = 0;
    if (!GetCommModemStatus(port, &status)) return false;
    if ((status & mask) == expected) return true;
    if (GetTickCount() - start > 5000) return false;
    Sleep(100);
  }
}

void Session(const std::function<void(sim::World &, HayesModem *, HANDLE)> &body) {
  RunOnOneMachine(
      [&](sim::World &world) {
        HANDLE port = OpenModem();
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        body(world, ModemOf(world), port);
        CloseHandle(port);
      },
      "hayes");
}

TEST(Dialer, StockInitDialDataEscapeAndHangUp) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    Send(port, "ATE0V1&C1&D2S0=0\r\n");
    EXPECT_EQ("ATE0V1&C1&D2S0=0\r\r\nOK\r\n", ReadUntil(port, "OK"));
    Send(port, "ATDT5551234\r\n");  // the LF must not abort the dial
    EXPECT_EQ("\r\nCONNECT 115200\r\n", ReadUntil(port, "CONNECT 115200\r\n", 10000));
    Send(port, "hello far end");
    EXPECT_EQ("hello far end", ReadUntil(port, "far end"));
    modem->RemoteSend("hello near end");
    EXPECT_EQ("hello near end", ReadUntil(port, "near end"));

    Sleep(1500);  // guard time
    Send(port, "+++");
    EXPECT_EQ("+++\r\nOK\r\n", ReadUntil(port, "OK"));
    EXPECT_TRUE(modem->Connected());
    Send(port, "ATO\r");
    EXPECT_EQ("\r\nCONNECT 115200\r\n", ReadUntil(port, "CONNECT 115200\r\n"));
    Send(port, "more");
    EXPECT_EQ("more", ReadUntil(port, "more"));
    Sleep(1500);
    Send(port, "+++");
    ReadUntil(port, "OK");
    EXPECT_TRUE(LinesBecome(port, MS_RLSD_ON, MS_RLSD_ON));
    Send(port, "ATH\r");
    EXPECT_EQ("\r\nOK\r\n", ReadUntil(port, "OK"));
    EXPECT_TRUE(LinesBecome(port, MS_CTS_ON | MS_RLSD_ON, MS_CTS_ON));
    EXPECT_EQ("hello far end+++more+++", modem->RemoteReceived());
    EXPECT_EQ(std::vector<std::string>{"5551234"}, modem->DialedNumbers());
  });
}

TEST(Dialer, BusyNoAnswerAndNoDialtone) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    FarEnd busy, never, dead;
    busy.kind = FarEnd::Kind::Busy;
    never.kind = FarEnd::Kind::NeverAnswers;
    dead.kind = FarEnd::Kind::NoDialtone;
    modem->SetFarEnd("1", busy);
    modem->SetFarEnd("2", never);
    modem->SetFarEnd("3", dead);
    Send(port, "ATE0S7=5\r");
    ReadUntil(port, "OK");
    Send(port, "ATD1\r");
    EXPECT_EQ("\r\nBUSY\r\n", ReadUntil(port, "BUSY"));
    Send(port, "ATD2\r");
    EXPECT_EQ("\r\nNO ANSWER\r\n", ReadUntil(port, "NO ANSWER", 10000));
    Send(port, "ATD3\r");
    EXPECT_EQ("\r\nNO DIALTONE\r\n", ReadUntil(port, "NO DIALTONE", 10000));
    EXPECT_FALSE(modem->OffHook());
  });
}

TEST(Dialer, RemoteHangUpIsNoCarrierAndCarrierLoss) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    FarEnd far;
    far.connection.hangUpAfterMs = 4000;
    modem->SetFarEnd(far);
    Send(port, "ATE0D1\r");
    ReadUntil(port, "CONNECT", 10000);
    EXPECT_TRUE(LinesBecome(port, MS_DSR_ON | MS_RLSD_ON, MS_DSR_ON | MS_RLSD_ON));
    EXPECT_EQ("\r\nNO CARRIER\r\n", ReadUntil(port, "NO CARRIER", 10000));
    EXPECT_TRUE(LinesBecome(port, MS_CTS_ON | MS_RLSD_ON, MS_CTS_ON));  // still ready, no carrier
  });
}

TEST(Dialer, IncomingCallRingsAndAutoAnswers) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    Send(port, "ATE0S0=2\r");
    ReadUntil(port, "OK");
    Caller caller;
    caller.connection.greeting = "welcome";
    modem->Ring(caller);
    EXPECT_EQ("\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 115200\r\nwelcome", ReadUntil(port, "welcome", 15000));
    Send(port, "ping");
    EXPECT_EQ("ping", ReadUntil(port, "ping"));
  });
}

TEST(Dialer, DroppingDtrUnderD2HangsUp) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    Send(port, "ATE0&D2D1\r");
    ReadUntil(port, "CONNECT", 10000);
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_EQ("\r\nNO CARRIER\r\n", ReadUntil(port, "NO CARRIER"));
    EXPECT_FALSE(modem->OffHook());
    EXPECT_TRUE(LinesBecome(port, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0));
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    Send(port, "AT\r");
    EXPECT_EQ("\r\nOK\r\n", ReadUntil(port, "OK"));
  });
}

// The command set as a terminal user types it on COM7: each line and the
// modem's exact answer, in order (the settings carry from line to line).
TEST(Dialer, CommandLinesThroughThePort) {
  Session([](sim::World &, HayesModem *modem, HANDLE port) {
    struct Row {
      const char *line;
      const char *answer;
    } rows[] = {
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},  // echo is on until this line
        {"noise AT\r", "\r\nOK\r\n"},    // what comes before AT is ignored
        {"ATV0\r", "0\r"},
        {"ATK\r", "4\r"},
        {"ATV1S7=45S7?\r", "\r\n045\r\n\r\nOK\r\n"},
        {"ATS0=2S12=25M2L3X3&C1&D2\r", "\r\nOK\r\n"},
        {"ATS0?S12?\r", "\r\n002\r\n\r\n025\r\n\r\nOK\r\n"},
        {"AT&V\r", "\r\nOK\r\n"},
        {"ATI3\r", "\r\nOK\r\n"},
        {"ATI9\r", "\r\nERROR\r\n"},
        {"AT&F\r", "\r\nOK\r\n"},
        {"ATS7?\r", "ATS7?\r\r\n050\r\n\r\nOK\r\n"},  // factory settings: echo back on
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"ATQ1\r", nullptr},                                    // quiet: no answer at all
        {"ATQ0\r", "\r\nOK\r\n"},
        {"ATZ\r", "\r\nOK\r\n"},
    };
    for (const Row &row : rows) {
      Send(port, row.line);
      if (row.answer == nullptr) {
        Sleep(300);
        char buffer[64];
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(port, buffer, sizeof(buffer), &got, NULL));
        EXPECT_EQ(0u, got) << row.line;
        continue;
      }
      std::string answer = row.answer;
      std::string tail = answer.substr(answer.size() >= 4 ? answer.size() - 4 : 0);
      std::string seen = ReadUntil(port, tail);
      if (std::string(row.line) == "AT&V\r") {
        EXPECT_NE(std::string::npos, seen.find("ACTIVE PROFILE:\r\nE0 L3 M2 Q0 V1 X3 &C1 &D2\r\n")) << seen;
        EXPECT_NE(std::string::npos, seen.find("S00:002")) << seen;
      } else if (std::string(row.line) == "ATI3\r") {
        EXPECT_GT(seen.size(), answer.size()) << "no identification text";
      } else {
        EXPECT_EQ(answer, seen) << row.line;
      }
    }
    EXPECT_EQ(50, modem->SRegister(7));
  });
}

}  // namespace
