#include "checks.h"

#include <algorithm>

namespace stress {

namespace {

const char *const kCountNames[] = {"driver pool blocks", "IRPs", "handles", "system threads", "OutstandingIo"};

// A dropped run is told from a corrupted byte by what follows it: the next
// bytes received must appear together somewhere later in W.
const size_t kResyncBytes = 16;

size_t FindLater(const std::vector<char> &written, size_t from, const std::vector<char> &received, size_t at) {
  size_t length = std::min(kResyncBytes, received.size() - at);
  for (size_t q = from; q + length <= written.size(); ++q)
    if (std::equal(received.begin() + at, received.begin() + at + length, written.begin() + q)) return q;
  return std::string::npos;
}

void CheckStream(const Plan &plan, const ScenarioOutcome &outcome, std::vector<std::string> *v) {
  std::vector<char> written = ReportedStream(outcome);
  const std::vector<char> &received = outcome.received;
  if (ReceiveIsLossless(plan)) {
    if (received != written) {
      size_t at = std::mismatch(written.begin(), written.begin() + std::min(written.size(), received.size()),
                                received.begin())
                      .first -
                  written.begin();
      v->push_back("received " + std::to_string(received.size()) + " bytes of the " +
                   std::to_string(written.size()) + " reported written, first difference at byte " +
                   std::to_string(at));
    }
  } else {
    std::string where = InOrderRunsOf(written, received);
    if (!where.empty()) v->push_back(where);
  }
}

void CheckWrites(const Plan &plan, const ScenarioOutcome &outcome, std::vector<std::string> *v) {
  for (size_t i = 0; i < outcome.writes.size(); ++i) {
    const WriteResult &w = outcome.writes[i];
    if (w.reported > w.bytes.size())
      v->push_back("write " + std::to_string(i) + " reported " + std::to_string(w.reported) + " bytes of " +
                   std::to_string(w.bytes.size()));
    if (plan.kind == PlanKind::None && (!w.succeeded || w.reported != w.bytes.size()))
      v->push_back("write " + std::to_string(i) + " of " + std::to_string(w.bytes.size()) +
                   " bytes ended with " + std::to_string(w.reported) + (w.succeeded ? "" : " and failed") +
                   " in a clean run");
  }
}

void CheckCounts(const ScenarioOutcome &outcome, std::vector<std::string> *v) {
  for (size_t i = 0; i < outcome.before.size() && i < outcome.after.size(); ++i)
    if (outcome.before[i] != outcome.after[i])
      v->push_back(std::string(kCountNames[i]) + ": " + std::to_string(outcome.before[i]) +
                   " before the open, " + std::to_string(outcome.after[i]) + " after the close");
}

}  // namespace

std::vector<char> ReportedStream(const ScenarioOutcome &outcome) {
  std::vector<char> stream;
  for (const WriteResult &w : outcome.writes) {
    size_t n = std::min<size_t>(w.reported, w.bytes.size());
    stream.insert(stream.end(), w.bytes.begin(), w.bytes.begin() + n);
  }
  return stream;
}

std::string InOrderRunsOf(const std::vector<char> &written, const std::vector<char> &received) {
  size_t p = 0;
  for (size_t i = 0; i < received.size();) {
    if (p < written.size() && received[i] == written[p]) {
      ++i;
      ++p;
      continue;
    }
    size_t q = FindLater(written, p + 1, received, i);
    if (q == std::string::npos)
      return "received byte " + std::to_string(i) + " of " + std::to_string(received.size()) +
             " is not the written stream in order (written " + std::to_string(written.size()) +
             " bytes, matched up to " + std::to_string(p) + ")";
    p = q;
  }
  return "";
}

std::vector<std::string> Check(const Plan &plan, const ScenarioOutcome &outcome, bool modemUnplugged,
                               const std::vector<std::string> &faults) {
  std::vector<std::string> v = outcome.violations;
  if (plan.kind == PlanKind::None && !outcome.opened) v.push_back("the port did not open in a clean run");
  CheckStream(plan, outcome, &v);
  CheckWrites(plan, outcome, &v);
  if (DeviceStays(plan) && !modemUnplugged) CheckCounts(outcome, &v);
  for (const std::string &f : faults) v.push_back("verifier: " + f);
  return v;
}

}  // namespace stress
