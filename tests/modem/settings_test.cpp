// Result code forms, settings, S-registers, profiles and identification.
#include "modem/modem_rig.h"

using namespace modemtest;
using sim::modem::FarEnd;

namespace {

TEST(Settings, VerboseNumericAndQuietForms) {
  Rig r;
  r.Command("ATE0");
  EXPECT_EQ("0\r", r.Command("ATV0"));
  EXPECT_EQ("4\r", r.Command("ATK"));
  EXPECT_EQ("007\r\n0\r", r.Command("ATS10=7S10?"));  // information text ends with CR LF
  EXPECT_EQ("", r.Command("ATQ1"));
  EXPECT_EQ("", r.Command("ATK"));
  EXPECT_EQ("\r\n007\r\n", r.Command("ATV1S10?"));  // information is still shown
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATQ0"));
}

// At X0 CONNECT has no rate; from X1 on it has the configured one, whose
// numeric form has a code of its own.
TEST(Settings, ConnectFormsByLevelAndRate) {
  struct Row {
    const char *setup;
    uint32_t rate;
    const char *connect;
  } rows[] = {
      {"X0", 115200, "\r\nCONNECT\r\n"},     {"X1", 115200, "\r\nCONNECT 115200\r\n"},
      {"X4", 9600, "\r\nCONNECT 9600\r\n"},  {"X0V0", 9600, "1\r"},
      {"X4V0", 115200, "19\r"},              {"X3V0", 2400, "10\r"},
      {"X1V0", 33600, "1\r"},                {"X4Q1", 115200, ""},
  };
  for (const Row &row : rows) {
    Rig r;
    r.modem.SetConnectRate(row.rate);
    r.Command(std::string("ATE0") + row.setup);
    r.Command("ATD1");
    r.Advance(10000);
    EXPECT_EQ(row.connect, r.Take()) << row.setup << " at " << row.rate;
    EXPECT_TRUE(r.modem.InDataMode()) << row.setup;
  }
}

TEST(Settings, RegistersReadWriteAndRanges) {
  Rig r;
  r.Command("ATE0");
  const int factory[][2] = {{0, 0}, {1, 0}, {2, 43}, {3, 13}, {4, 10}, {5, 8},
                            {6, 2}, {7, 50}, {8, 2}, {10, 14}, {12, 50}};
  for (const auto &reg : factory) {
    char text[16];
    std::snprintf(text, sizeof(text), "\r\n%03d\r\n", reg[1]);
    EXPECT_EQ(std::string(text) + "\r\nOK\r\n", r.Command("ATS" + std::to_string(reg[0]) + "?")) << reg[0];
  }
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATS0=2S2=255S6=255S7=1S12=0S10=255"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATS6=1"));   // below the blind-dial minimum
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATS7=0"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATS3=128"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATS9=1"));   // a register this modem lacks
  EXPECT_EQ(255, r.modem.SRegister(6));
  EXPECT_EQ(1, r.modem.SRegister(7));
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATS8=0"));      // "S8=" alone would set 0 too
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATS8="));
  EXPECT_EQ(0, r.modem.SRegister(8));
  // Sn selects the register that ? and = name.
  EXPECT_EQ("\r\n001\r\n\r\nOK\r\n", r.Command("ATS7?"));
  EXPECT_EQ("\r\n009\r\n\r\nOK\r\n", r.Command("ATS8=9?"));
  EXPECT_EQ("\r\n040\r\n\r\nOK\r\n", r.Command("ATS7 =40 ?"));
  EXPECT_EQ(40, r.modem.SRegister(7));
}

TEST(Settings, ProfilesAndTheirListing) {
  Rig r;
  r.Command("ATE0");
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATM3L0X2&C0&D3V1S7=30"));
  std::string v = r.Command("AT&V");
  EXPECT_EQ(0u, v.find("\r\nACTIVE PROFILE:\r\nE0 L0 M3 Q0 V1 X2 &C0 &D3\r\n"
                       "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:030 S08:002 S10:014 S12:050\r\n"
                       "\r\nSTORED PROFILE 0:\r\nE1 L2 M1 Q0 V1 X4 &C1 &D2\r\n"))
      << v;
  EXPECT_NE(std::string::npos, v.find("POWER-UP PROFILE: 0\r\n\r\nOK\r\n")) << v;

  EXPECT_EQ("\r\nOK\r\n", r.Command("AT&W1"));
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATZ"));  // profile 0 is the factory one
  EXPECT_EQ(50, r.modem.SRegister(7));
  EXPECT_EQ("ATZ1\r\r\nOK\r\n", r.Command("ATZ1"));  // typed with factory echo; profile 1 as stored
  EXPECT_EQ(30, r.modem.SRegister(7));
  EXPECT_NE(std::string::npos, r.Command("AT&V").find("\r\nE0 L0 M3 Q0 V1 X2 &C0 &D3\r\n"));
  EXPECT_EQ("\r\nOK\r\n", r.Command("AT&F"));
  EXPECT_EQ(50, r.modem.SRegister(7));
  EXPECT_EQ("AT\r\r\nOK\r\n", r.Command("AT"));  // factory echo
  // Z ends the line: nothing after it runs.
  r.Command("ATE0");
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATZ1S7=99"));
  EXPECT_EQ(30, r.modem.SRegister(7));
}

TEST(Settings, IdentificationAnswersI0ToI7) {
  Rig r;
  r.Command("ATE0");
  r.modem.SetConnectRate(57600);
  for (int n = 0; n <= 7; ++n) {
    std::string text = r.Command("ATI" + std::to_string(n));
    ASSERT_GT(text.size(), 12u) << n;
    EXPECT_EQ("\r\n", text.substr(0, 2)) << n;
    EXPECT_EQ("\r\n\r\nOK\r\n", text.substr(text.size() - 8)) << n;
  }
  EXPECT_EQ("\r\n56000\r\n\r\nOK\r\n", r.Command("ATI"));
  EXPECT_NE(std::string::npos, r.Command("ATI6").find("57600"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATI8"));
}

}  // namespace
