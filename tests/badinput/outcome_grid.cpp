#include "badinput/outcome_grid.h"

#include <cstdio>
#include <set>

namespace badinput {

namespace {

struct Run {
  ULONG first, last;
  Outcome outcome;
  bool operator==(const Run &r) const { return first == r.first && last == r.last && r.outcome == outcome; }
};

std::vector<Run> RunsOfRow(const OutcomeGrid &grid, ULONG in) {
  std::vector<Run> runs;
  for (ULONG out : grid.Tried()) {
    const Outcome &o = grid.At(in, out);
    if (!runs.empty() && runs.back().outcome == o) {
      runs.back().last = out;
    } else {
      runs.push_back(Run{out, out, o});
    }
  }
  return runs;
}

std::string Range(ULONG first, ULONG last) {
  char buf[32];
  if (first == last)
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(first));
  else
    snprintf(buf, sizeof buf, "%lu-%lu", static_cast<unsigned long>(first), static_cast<unsigned long>(last));
  return buf;
}

std::string Pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

std::string StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_ACCESS_VIOLATION: return "STATUS_ACCESS_VIOLATION";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_DEVICE_POWERED_OFF: return "STATUS_DEVICE_POWERED_OFF";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_PENDING: return "STATUS_PENDING";
    default: break;
  }
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

std::string Describe(const Outcome &outcome) {
  std::string s = StatusName(outcome.status) + " " + std::to_string(outcome.information);
  if (outcome.pended) s += " (pended)";
  return s;
}

Lengths AllLengths() {
  Lengths l;
  for (ULONG n = 0; n <= kMaxLength; ++n) l.push_back(n);
  return l;
}

Lengths BoundaryLengths() {
  return {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 19, 20, 21, 23, 24, 25, 63, 64, 65, kMaxLength - 1, kMaxLength};
}

Lengths SparseLengths() { return {0, 1, 3, 4, 8, 20, 64, kMaxLength}; }

std::vector<std::string> OutcomeGrid::Lines(const std::string &prefix) const {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < lengths_.size()) {
    std::vector<Run> runs = RunsOfRow(*this, lengths_[i]);
    size_t last = i;
    while (last + 1 < lengths_.size() && RunsOfRow(*this, lengths_[last + 1]) == runs) ++last;
    for (const Run &r : runs) {
      lines.push_back(prefix + "  in " + Pad(Range(lengths_[i], lengths_[last]), 7) + " out " +
                      Pad(Range(r.first, r.last), 7) + " " + Describe(r.outcome));
    }
    i = last + 1;
  }
  return lines;
}

std::vector<std::string> DiffLines(const std::vector<std::string> &expected, const std::vector<std::string> &actual) {
  std::multiset<std::string> want(expected.begin(), expected.end());
  std::multiset<std::string> got(actual.begin(), actual.end());
  std::vector<std::string> diff;
  for (const std::string &l : expected)
    if (got.count(l) == 0) diff.push_back("- " + l);
  for (const std::string &l : actual)
    if (want.count(l) == 0) diff.push_back("+ " + l);
  return diff;
}

}  // namespace badinput
