// How the modem reads command lines: the AT prefix, editing, repeating,
// several commands per line and where an error stops a line.
#include <algorithm>

#include "modem/modem_rig.h"

using namespace modemtest;

namespace {

TEST(CommandLine, PrefixCaseAndWhatComesBefore) {
  Rig r;
  EXPECT_EQ("AT\r\r\nOK\r\n", r.Command("AT"));
  EXPECT_EQ("at\r\r\nOK\r\n", r.Command("at"));
  EXPECT_EQ("ATE0\r\r\nOK\r\n", r.Command("ATE0"));
  // Line noise, a stray CR and mixed-case prefixes are not answered.
  EXPECT_EQ("", r.Command("hello"));
  EXPECT_EQ("", r.Command("aT"));
  EXPECT_EQ("", r.Command("At"));
  EXPECT_EQ("", r.Command(""));
  EXPECT_EQ("\r\nOK\r\n", r.Command("xyzAAT"));
  EXPECT_EQ("\r\nOK\r\n", r.Command("\nAT"));  // the LF after the last CR
  EXPECT_EQ("\r\nOK\r\n", r.Command("at e0 v1"));
  EXPECT_EQ((std::vector<std::string>{"AT", "AT", "ATE0", "AT", "AT", "ATE0V1"}), r.modem.CommandLines());
}

TEST(CommandLine, SeveralCommandsAnswerOnceAndAnErrorStopsTheLine) {
  Rig r;
  EXPECT_EQ("ATE0V1&C1&D2S0=0\r\r\nOK\r\n", r.Command("ATE0V1&C1&D2S0=0"));
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATE1X9E0"));
  EXPECT_EQ("AT\r\r\nOK\r\n", r.Command("AT"));  // E1 ran, X9 failed, E0 never ran
  r.Command("ATE0");
  EXPECT_EQ("\r\nERROR\r\n", r.Command("ATS7=30K S8=9"));
  EXPECT_EQ(30, r.modem.SRegister(7));
  EXPECT_EQ(2, r.modem.SRegister(8));
  for (const char *bad : {"ATE2", "ATV2", "ATQ2", "ATX5", "ATM4", "ATL4", "ATH2", "ATO2", "ATZ2", "AT&C2", "AT&D4",
                          "AT&F1", "AT&K0", "AT&", "ATS", "ATS99?", "ATS0=256", "ATA1", "AT!"}) {
    EXPECT_EQ("\r\nERROR\r\n", r.Command(bad)) << bad;
  }
}

TEST(CommandLine, BackspaceEditsAndRepeatRunsTheLastLine) {
  Rig r;
  r.Command("ATE0");
  EXPECT_EQ("\r\nOK\r\n", r.Command("ATE2\bS7=20"));
  EXPECT_EQ(20, r.modem.SRegister(7));
  EXPECT_EQ("\r\nOK\r\n", r.Command("AT\bTS7=21"));  // the T erased and typed again
  EXPECT_EQ(21, r.modem.SRegister(7));
  EXPECT_EQ("", r.Command("AT\b\bS7=22"));           // the whole prefix erased
  EXPECT_EQ(21, r.modem.SRegister(7));

  // S5 and S3 name the editing and ending characters; results end with S3 S4.
  EXPECT_EQ("!\nOK!\n", r.Command("ATS5=127S3=33"));
  r.Type("ATS7=29\x7f" "5!");
  EXPECT_EQ("!\nOK!\n", r.Take());
  EXPECT_EQ(25, r.modem.SRegister(7));
  r.Type("ATS3=13!");
  EXPECT_EQ("\r\nOK\r\n", r.Take());

  EXPECT_EQ("\r\n025\r\n\r\nOK\r\n", r.Command("ATS7?"));
  r.Type("A/");  // no CR
  EXPECT_EQ("\r\n025\r\n\r\nOK\r\n", r.Take());
  r.Type("a/");
  EXPECT_EQ("\r\n025\r\n\r\nOK\r\n", r.Take());
  std::vector<std::string> lines = r.modem.CommandLines();
  EXPECT_EQ(3, std::count(lines.begin(), lines.end(), "ATS7?"));
}

TEST(CommandLine, OverlongLineIsAnError) {
  Rig r;
  r.Command("ATE0");
  EXPECT_EQ("\r\nERROR\r\n", r.Command("AT" + std::string(300, 'E')));
  EXPECT_EQ("\r\nOK\r\n", r.Command("AT" + std::string(250, ' ') + "E0"));
}

}  // namespace
