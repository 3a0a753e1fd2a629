// Data mode: the far end's data and hang-up, the escape and its guard times,
// ATO and ATH, and what dropping DTR does under each &D.
#include "modem/modem_rig.h"

using namespace modemtest;
using sim::modem::FarEnd;
using sim::usb::STATUS_CARRIER;
using sim::usb::STATUS_READY;

namespace {

TEST(DataMode, FarEndEchoesGreetsAndSends) {
  Rig r;
  r.Connect();
  r.Type("AT\r");  // data now, not a command
  EXPECT_EQ("AT\r", r.Take());
  EXPECT_EQ(2u, r.modem.CommandLines().size());  // ATE0 and ATD1
  r.modem.RemoteSend("from afar");
  EXPECT_EQ("from afar", r.Take());

  Rig q;
  FarEnd far;
  far.connection.echo = false;
  far.connection.greeting = "login: ";
  q.modem.SetFarEnd(far);
  q.Command("ATE0");
  q.Command("ATD1");
  EXPECT_EQ("\r\nCONNECT 115200\r\nlogin: ", q.Await("login: ", 10000));
  q.Type("guest\r");
  EXPECT_EQ("", q.Take());
  EXPECT_EQ("guest\r", q.modem.RemoteReceived());
  q.Advance(2000);
  q.Type("+++");
  q.Await("OK", 3000);
  q.modem.RemoteSend("lost");  // not shown in command mode
  EXPECT_EQ("", q.Take());
}

// The carrier goes when the far end hangs up; the modem waits S10 for it to
// come back, then hangs up with NO CARRIER.
TEST(DataMode, RemoteHangUpDropsCarrierThenSaysNoCarrier) {
  Rig r;
  FarEnd far;
  far.connection.hangUpAfterMs = 5000;
  r.modem.SetFarEnd(far);
  r.Command("ATE0S10=20");
  r.Command("ATD1");
  r.Await("CONNECT", 10000);
  EXPECT_EQ(STATUS_READY | STATUS_CARRIER, r.modem.StatusByte());
  r.Advance(5000);
  EXPECT_EQ(STATUS_READY, r.modem.StatusByte());
  EXPECT_TRUE(r.modem.Connected());
  uint64_t elapsed = 0;
  EXPECT_EQ("\r\nNO CARRIER\r\n", r.Await("NO CARRIER", 5000, &elapsed));
  EXPECT_EQ(2000u, elapsed);
  EXPECT_FALSE(r.modem.OffHook());

  // In online command mode too, and under &C0 carrier detect stays on.
  Rig c;
  c.Connect("ATE0&C0");
  c.Type("+++");
  c.Await("OK", 3000);
  c.modem.RemoteHangUp();
  EXPECT_EQ("\r\nNO CARRIER\r\n", c.Await("NO CARRIER", 5000));
  EXPECT_EQ(STATUS_READY | STATUS_CARRIER, c.modem.StatusByte());
  EXPECT_EQ("\r\nNO CARRIER\r\n", c.Command("ATO"));
}

// Escape guard S12 is in fiftieths of a second (50: 1 s).
TEST(DataMode, EscapeNeedsItsGuardTimes) {
  struct Row {
    const char *setup;
    std::vector<std::pair<uint64_t, std::string>> typed;  // after a pause, these bytes
    bool escapes;
    uint64_t okAfterMs;  // after the last bytes
  } rows[] = {
      {"", {{0, "+++"}}, true, 1000},
      {"", {{0, "+"}, {999, "+"}, {999, "+"}}, true, 1000},
      {"", {{0, "+"}, {1000, "++"}}, false, 0},                 // too slow between characters
      {"", {{0, "x+++"}}, false, 0},                           // no silence before
      {"", {{0, "+++"}, {999, "y"}}, false, 0},                // data right after
      {"", {{0, "++++"}}, false, 0},                           // four are data
      {"", {{0, "++"}, {1000, "+++"}}, true, 1000},            // a new start after silence
      {"S2=36", {{0, "$$$"}}, true, 1000},
      {"S2=36", {{0, "+++"}}, false, 0},
      {"S2=200", {{0, "\xc8\xc8\xc8"}}, false, 0},           // above 127: no escape
      {"S12=10", {{0, "+++"}}, true, 200},
      {"S12=0", {{0, "abc+++"}}, true, 0},                    // no timing at all
  };
  int index = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE("row " + std::to_string(index++));
    Rig r;
    r.Connect(std::string("ATE0") + row.setup);
    std::string sent;
    for (const auto &step : row.typed) {
      r.Advance(step.first);
      r.Type(step.second);
      sent += step.second;
    }
    if (row.escapes) {
      r.Advance(row.okAfterMs == 0 ? 0 : row.okAfterMs - 1);
      EXPECT_EQ(row.okAfterMs == 0, !r.modem.InDataMode());
      r.Advance(1);
      EXPECT_EQ(sent + "\r\nOK\r\n", r.Take());  // the far end echoed them back first
      EXPECT_FALSE(r.modem.InDataMode());
      EXPECT_TRUE(r.modem.Connected());
    } else {
      r.Advance(3000);
      EXPECT_EQ(sent, r.Take());
      EXPECT_TRUE(r.modem.InDataMode());
    }
    EXPECT_EQ(sent, r.modem.RemoteReceived());
  }
}

TEST(DataMode, BackOnlineAndHangUp) {
  Rig r;
  r.Connect();
  r.Type("+++");
  r.Await("OK", 3000);
  EXPECT_EQ("\r\n050\r\n\r\nOK\r\n", r.Command("ATS7?"));
  EXPECT_EQ("\r\nCONNECT 115200\r\n", r.Command("ATO"));
  EXPECT_TRUE(r.modem.InDataMode());
  r.Type("data");
  EXPECT_EQ("data", r.Take());
  r.Advance(1000);  // the guard time counts from the last byte
  r.Type("+++");
  r.Await("OK", 3000);
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATH"));
  EXPECT_FALSE(r.modem.Connected());
  EXPECT_EQ(STATUS_READY, r.modem.StatusByte());
  EXPECT_EQ("\r\nNO CARRIER\r\n", r.Command("ATO"));
}

// Only DTR's fall acts: &D0 ignores it, &D1 leaves data mode keeping the
// call, &D2 hangs up, &D3 hangs up and goes back to the power-up profile.
TEST(DataMode, DtrDropUnderEachSetting) {
  Rig d0;
  d0.Connect("ATE0&D0");
  d0.modem.OnSetDtr(false);
  EXPECT_EQ("", d0.Take());
  EXPECT_TRUE(d0.modem.InDataMode());
  EXPECT_EQ(STATUS_CARRIER, d0.modem.StatusByte());

  Rig d1;
  d1.Connect("ATE0&D1");
  d1.modem.OnSetDtr(false);
  EXPECT_EQ("\r\nOK\r\n", d1.Take());
  EXPECT_TRUE(d1.modem.Connected());
  EXPECT_FALSE(d1.modem.InDataMode());
  EXPECT_EQ("\r\nCONNECT 115200\r\n", d1.Command("ATO"));

  Rig d2;
  d2.Connect("ATE0&D2");
  d2.modem.OnSetDtr(true);  // no fall: nothing
  EXPECT_TRUE(d2.modem.InDataMode());
  d2.modem.OnSetDtr(false);
  EXPECT_EQ("\r\nNO CARRIER\r\n", d2.Take());
  EXPECT_FALSE(d2.modem.OffHook());
  EXPECT_EQ(0, d2.modem.StatusByte());
  d2.modem.OnSetDtr(true);
  d2.Command("ATD1");
  d2.modem.OnSetDtr(false);  // during a dial
  EXPECT_EQ("\r\nNO CARRIER\r\n", d2.Take());
  d2.modem.OnSetDtr(true);
  d2.Command("ATH1");
  d2.modem.OnSetDtr(false);  // off hook without a call: silently on hook
  EXPECT_EQ("", d2.Take());
  EXPECT_FALSE(d2.modem.OffHook());

  Rig d3;
  d3.Connect("ATE0S7=30&D3");
  d3.modem.OnSetDtr(false);
  EXPECT_EQ("\r\nNO CARRIER\r\n", d3.Take());
  EXPECT_EQ(50, d3.modem.SRegister(7));
  d3.modem.OnSetDtr(true);
  EXPECT_EQ("AT\r\r\nOK\r\n", d3.Command("AT"));  // factory echo again
}

}  // namespace
