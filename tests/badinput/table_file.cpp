#include "badinput/table_file.h"

#include <cstdlib>
#include <fstream>

#include "badinput/port_rig.h"

namespace badinput {

namespace {

const char kHeader[] =
    "# Serial control requests sent with every input and output length from 0 to 128, with a system\n"
    "# buffer (\"buffer\") or none (\"null\"), in each state of the port: status and Information, one\n"
    "# line per range of lengths with one outcome; \"(pended)\" when the dispatch routine returned\n"
    "# STATUS_PENDING. A range runs over the lengths tried: every one with USBMODEM_BADINPUT_FULL=1;\n"
    "# else, where the port serves requests, each buffer size a code takes and its neighbours\n"
    "# (0-9 15-17 19-21 23-25 63-65 127 128), and where it refuses them 0 1 3 4 8 20 64 128.\n"
    "# Written by test_badinput; regenerate with\n"
    "#   USBMODEM_REGENERATE=1 build/host-debug/test_badinput\n"
    "# state  buffer  code  input lengths  output lengths  status  Information\n";

std::string FirstWord(const std::string &line) { return line.substr(0, line.find(' ')); }

}  // namespace

std::string TablePath() { return std::string(USBMODEM_SOURCE_DIR) + "/tests/badinput/bad_input_table.txt"; }

bool Regenerating() {
  const char *v = std::getenv("USBMODEM_REGENERATE");
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

std::map<std::string, std::vector<std::string>> ReadTable(const std::string &path) {
  std::map<std::string, std::vector<std::string>> sections;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    sections[FirstWord(line)].push_back(line);
  }
  return sections;
}

bool WriteTableSection(const std::string &path, const std::string &state, const std::vector<std::string> &lines) {
  std::map<std::string, std::vector<std::string>> sections = ReadTable(path);
  sections[state] = lines;
  std::ofstream out(path, std::ios::trunc);
  out << kHeader;
  for (PortState s : AllPortStates()) {
    for (const std::string &l : sections[PortStateName(s)]) out << l << "\n";
  }
  return static_cast<bool>(out);
}

}  // namespace badinput
