// Incoming calls: RING every 6 s counted in S1, auto-answer at S0 rings,
// ATA, a caller who gives up, and when the modem does not answer.
#include "modem/modem_rig.h"

using namespace modemtest;
using sim::modem::Caller;

namespace {

Caller Calling(uint32_t rings = 0, const std::string &greeting = "") {
  Caller caller;
  caller.rings = rings;
  caller.connection.greeting = greeting;
  return caller;
}

TEST(Incoming, RingsAreCountedAndS0RingsAnswer) {
  Rig r;
  r.Command("ATE0S0=2");
  r.modem.Ring(Calling(0, "hi"));
  EXPECT_EQ("\r\nRING\r\n", r.Take());
  EXPECT_EQ(1, r.modem.SRegister(1));
  r.Advance(5999);
  EXPECT_EQ("", r.Take());
  r.Advance(1);
  EXPECT_EQ("\r\nRING\r\n", r.Take());
  EXPECT_EQ(2, r.modem.SRegister(1));
  EXPECT_TRUE(r.modem.OffHook());  // answering
  uint64_t elapsed = 0;
  EXPECT_EQ("\r\nCONNECT 115200\r\nhi", r.Await("hi", 10000, &elapsed));
  EXPECT_EQ(2000u, elapsed);
  EXPECT_TRUE(r.modem.InDataMode());
  EXPECT_EQ(0, r.modem.SRegister(1));
  r.Advance(20000);
  EXPECT_EQ("", r.Take());  // no more rings once answered
}

TEST(Incoming, AtaAnswersAndNumericRing) {
  Rig r;
  r.Command("ATE0V0");
  r.modem.Ring(Calling());
  EXPECT_EQ("2\r", r.Take());
  r.Advance(7000);
  EXPECT_EQ("2\r", r.Take());
  EXPECT_EQ("", r.Command("ATA"));
  EXPECT_EQ("19\r", r.Await("19", 5000));
  EXPECT_TRUE(r.modem.Connected());
}

// The caller gives up after its rings; 8 s after the last ring S1 is 0 again.
TEST(Incoming, CallerGivesUpAndTheCountClears) {
  Rig r;
  r.Command("ATE0");
  r.modem.Ring(Calling(2));
  r.Advance(6000);
  EXPECT_EQ("\r\nRING\r\n\r\nRING\r\n", r.Take());
  EXPECT_EQ(2, r.modem.SRegister(1));
  r.Advance(7999);
  EXPECT_EQ(2, r.modem.SRegister(1));
  r.Advance(1);
  EXPECT_EQ(0, r.modem.SRegister(1));
  r.Advance(30000);
  EXPECT_EQ("", r.Take());
  // Answering when no call is there waits S7 for a carrier.
  r.Command("ATS7=5");
  r.Command("ATA");
  uint64_t elapsed = 0;
  EXPECT_EQ("\r\nNO CARRIER\r\n", r.Await("NO CARRIER", 10000, &elapsed));
  EXPECT_EQ(5000u, elapsed);
}

TEST(Incoming, WhenTheModemDoesNotAnswer) {
  // DTR off under &D2: it rings, but nobody is there to answer.
  Rig r;
  r.Command("ATE0S0=1");
  r.modem.OnSetDtr(false);
  r.modem.Ring(Calling());
  EXPECT_EQ("\r\nRING\r\n", r.Take());
  r.Advance(6000);
  EXPECT_EQ("\r\nRING\r\n", r.Take());
  EXPECT_FALSE(r.modem.OffHook());
  // Under &D0 DTR does not matter.
  Rig d0;
  d0.Command("ATE0S0=1&D0");
  d0.modem.OnSetDtr(false);
  d0.modem.Ring(Calling());
  EXPECT_EQ("\r\nRING\r\n\r\nCONNECT 115200\r\n", d0.Await("CONNECT", 5000));
  // Off hook the caller hears busy: no ring at all.
  Rig busy;
  busy.Command("ATE0H1S0=1");
  busy.modem.Ring(Calling());
  busy.Advance(20000);
  EXPECT_EQ("", busy.Take());
  // A key during the answer's handshake aborts it.
  Rig key;
  key.Command("ATE0S0=1");
  key.modem.Ring(Calling());
  key.Advance(500);
  key.Type("x");
  EXPECT_EQ("\r\nRING\r\n\r\nNO CARRIER\r\n", key.Take());
  EXPECT_FALSE(key.modem.OffHook());
}

}  // namespace
