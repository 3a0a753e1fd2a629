// The bad-input table kept in the repository: a header, then one section of
// lines per port state, in the order of AllPortStates.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace badinput {

std::string TablePath();
// Each state's lines, keyed by the state's name (a line's first word).
std::map<std::string, std::vector<std::string>> ReadTable(const std::string &path);
// Rewrites the file with `state`'s section replaced by `lines`.
bool WriteTableSection(const std::string &path, const std::string &state, const std::vector<std::string> &lines);
// USBMODEM_REGENERATE is set: tests write their sections instead of comparing.
bool Regenerating();

}  // namespace badinput
