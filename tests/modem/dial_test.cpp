// Dialling: the modifiers and their timing, the far end's answers and
// failures as each X level reports them, keys during a dial.
#include "modem/modem_rig.h"

using namespace modemtest;
using sim::modem::FarEnd;

namespace {

FarEnd Kind(FarEnd::Kind kind, uint32_t answerAfterMs = 2000) {
  FarEnd far;
  far.kind = kind;
  far.answerAfterMs = answerAfterMs;
  return far;
}

// Dial tone is heard in 1 s (X2, X4) or waited for blind S6 seconds (X0, X1,
// X3); tone digits take 100 ms, pulse digits 1 s, ',' S8 seconds, W a second
// dial tone; the far end answers 2 s after the dialling.
TEST(Dial, ModifiersAndTheirTiming) {
  struct Row {
    const char *setup;
    const char *dial;
    uint64_t connectMs;
    const char *number;
  } rows[] = {
      {"", "ATDT123", 1000 + 300 + 2000, "123"},
      {"", "ATD123", 1000 + 300 + 2000, "123"},
      {"", "ATDP12", 1000 + 2000 + 2000, "12"},
      {"", "ATDT1P2T3", 1000 + 100 + 1000 + 100 + 2000, "123"},
      {"S8=3", "ATDT1,2", 1000 + 100 + 3000 + 100 + 2000, "12"},
      {"S8=0", "ATD1,,2", 1000 + 200 + 2000, "12"},
      {"", "ATD9W1", 1000 + 100 + 1000 + 100 + 2000, "91"},
      {"X3S6=4", "ATD1", 4000 + 100 + 2000, "1"},
      {"X0", "ATD1", 2000 + 100 + 2000, "1"},
      {"", "ATD (555) 123-4", 1000 + 700 + 2000, "5551234"},
      {"", "ATD*70#A", 1000 + 500 + 2000, "*70#A"},
  };
  for (const Row &row : rows) {
    Rig r;
    r.Command(std::string("ATE0") + row.setup);
    EXPECT_EQ("", r.Command(row.dial)) << row.dial;
    EXPECT_TRUE(r.modem.OffHook());
    uint64_t elapsed = 0;
    EXPECT_EQ(0u, r.Await("CONNECT", 60000, &elapsed).find("\r\nCONNECT")) << row.dial;
    EXPECT_EQ(row.connectMs, elapsed) << row.setup << " " << row.dial;
    EXPECT_EQ(std::vector<std::string>{row.number}, r.modem.DialedNumbers()) << row.dial;
  }
}

TEST(Dial, BadDialStringsAndWhenDiallingIsRefused) {
  Rig r;
  r.Command("ATE0");
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATD12X"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATD1;2"));
  EXPECT_FALSE(r.modem.OffHook());
  r.modem.OnSetDtr(false);
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATD1"));  // &D2: no dial while DTR is off
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATA"));
  r.Command("AT&D0");
  EXPECT_EQ("", r.Command("ATD1"));  // &D0 ignores DTR
  EXPECT_NE(std::string::npos, r.Await("CONNECT", 10000).find("CONNECT"));
  r.Advance(1500);
  r.Type("+++");
  r.Await("OK", 3000);
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATD2"));  // already in a call
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATA"));
  EXPECT_EQ((std::vector<std::string>{"1"}), r.modem.DialedNumbers());
}

// ';' goes back to command mode once dialled, off hook; the next D adds its
// digits without waiting for dial tone.
TEST(Dial, SemicolonKeepsTheLineForMoreDigits) {
  Rig r;
  r.Command("ATE0");
  r.modem.SetFarEnd(Kind(FarEnd::Kind::Busy));
  r.modem.SetFarEnd("95551234", Kind(FarEnd::Kind::Answers, 500));
  EXPECT_EQ("", r.Command("ATD9;"));
  uint64_t elapsed = 0;
  EXPECT_EQ("\r\nOK\r\n", r.Await("OK", 5000, &elapsed));
  EXPECT_EQ(1100u, elapsed);
  EXPECT_TRUE(r.modem.OffHook());
  EXPECT_FALSE(r.modem.Connected());
  r.Command("ATD5551234");
  EXPECT_EQ("\r\nCONNECT 115200\r\n", r.Await("CONNECT", 5000, &elapsed));
  EXPECT_EQ(700u + 500u, elapsed);
  EXPECT_EQ((std::vector<std::string>{"9", "95551234"}), r.modem.DialedNumbers());

  Rig h;
  h.Command("ATE0D1;");
  h.Await("OK", 5000);
  EXPECT_EQ("\r\nOK\r\n", h.Command("ATH"));
  EXPECT_FALSE(h.modem.OffHook());
  EXPECT_EQ("\r\nOK\r\n", h.Command("ATH1"));
  EXPECT_TRUE(h.modem.OffHook());
}

// Busy is recognised from X3 on, dial tone from X2 (and X4); NO ANSWER (our
// choice where Hayes leaves room) needs the call progress monitoring of X3
// and X4. What a level cannot tell apart waits S7 and says NO CARRIER.
TEST(Dial, FailuresAsEachLevelReportsThem) {
  const uint64_t s7 = 10000;
  struct Row {
    FarEnd far;
    const char *level;
    const char *result;
    uint64_t afterMs;
  } rows[] = {
      {Kind(FarEnd::Kind::Busy), "X4", "\r\nBUSY\r\n", 1000 + 100 + 1000},
      {Kind(FarEnd::Kind::Busy), "X3", "\r\nBUSY\r\n", 2000 + 100 + 1000},
      {Kind(FarEnd::Kind::Busy), "X2", "\r\nNO CARRIER\r\n", 1000 + 100 + s7},
      {Kind(FarEnd::Kind::Busy), "X4V0", "7\r", 1000 + 100 + 1000},
      {Kind(FarEnd::Kind::NeverAnswers), "X4", "\r\nNO ANSWER\r\n", 1000 + 100 + s7},
      {Kind(FarEnd::Kind::NeverAnswers), "X4V0", "8\r", 1000 + 100 + s7},
      {Kind(FarEnd::Kind::NeverAnswers), "X1", "\r\nNO CARRIER\r\n", 2000 + 100 + s7},
      {Kind(FarEnd::Kind::Answers, 12000), "X4", "\r\nNO ANSWER\r\n", 1000 + 100 + s7},
      {Kind(FarEnd::Kind::NoDialtone), "X4", "\r\nNO DIALTONE\r\n", 5000},
      {Kind(FarEnd::Kind::NoDialtone), "X2V0", "6\r", 5000},
      {Kind(FarEnd::Kind::NoDialtone), "X3", "\r\nNO CARRIER\r\n", 2000 + 100 + s7},
      {Kind(FarEnd::Kind::NoDialtone), "X0V0", "3\r", 2000 + 100 + s7},
  };
  for (const Row &row : rows) {
    Rig r;
    r.modem.SetFarEnd(row.far);
    r.Command(std::string("ATE0S7=10") + row.level);
    r.Command("ATD1");
    uint64_t elapsed = 0;
    EXPECT_EQ(row.result, r.Await(row.result, 60000, &elapsed)) << row.level << " " << int(row.far.kind);
    EXPECT_EQ(row.afterMs, elapsed) << row.level << " " << int(row.far.kind);
    EXPECT_FALSE(r.modem.OffHook());
    EXPECT_EQ(sim::usb::STATUS_READY, r.modem.StatusByte());
  }
  // A number of its own overrides the default far end.
  Rig r;
  r.modem.SetFarEnd("555", Kind(FarEnd::Kind::Busy));
  r.Command("ATE0");
  r.Command("ATD555");
  EXPECT_EQ("\r\nBUSY\r\n", r.Await("BUSY", 60000));
  r.Command("ATD556");
  EXPECT_EQ("\r\nCONNECT 115200\r\n", r.Await("CONNECT", 60000));
}

// The LF after the CR (or anything within 125 ms) is ignored; a key after
// that aborts the dial with NO CARRIER.
TEST(Dial, KeysDuringTheDial) {
  Rig r;
  r.Command("ATE0");
  r.Type("ATD1\r\n");
  r.Advance(124);
  r.Type("x");
  EXPECT_EQ("\r\nCONNECT 115200\r\n", r.Await("CONNECT", 10000));

  Rig a;
  a.Command("ATE0");
  a.Type("ATD1\r\n");
  a.Advance(125);
  a.Type("x");
  EXPECT_EQ("\r\nNO CARRIER\r\n", a.Take());
  EXPECT_FALSE(a.modem.OffHook());
  a.Advance(10000);
  EXPECT_EQ("", a.Take());  // the aborted call never connects
  EXPECT_EQ("\r\nOK\r\n", a.Command("AT"));  // back in command mode at once
}

}  // namespace
