// The stress runner's own judgement: plan names round-trip for replays, and
// the stream check accepts dropped runs only, never a byte twice, out of
// order or changed.
#include <gtest/gtest.h>

#include "stress/runner/checks.h"
#include "stress/runner/plan.h"

using namespace stress;

namespace {

std::vector<char> Stream(size_t n) {
  std::vector<char> v(n);
  uint32_t x = 12345;
  for (char &c : v) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return v;
}

std::vector<char> Cut(const std::vector<char> &v, size_t from, size_t to) {
  std::vector<char> out(v.begin(), v.begin() + from);
  out.insert(out.end(), v.begin() + to, v.end());
  return out;
}

TEST(StressPlans, NamesReplayAsTheyWereGiven) {
  for (const char *name : {"none", "fail-pool:7", "fail-urb:BulkOut:3", "stall-urb:BulkIn:1",
                           "no-answer-urb:ResetPipe:2", "bulk-out-limit:64", "unplug-at:500", "cancel-storm:0",
                           "cancel-storm:2", "sleep:1"}) {
    Plan plan;
    ASSERT_TRUE(ParsePlan(name, &plan)) << name;
    EXPECT_EQ(PlanName(plan), name);
  }
  Plan plan;
  for (const char *bad : {"", "fail-pool", "fail-pool:0", "fail-urb:Bulk:1", "fail-urb:3", "cancel-storm:3",
                          "sleep:2", "none:1", "unplug-at:x"})
    EXPECT_FALSE(ParsePlan(bad, &plan)) << bad;
}

TEST(StressStreamCheck, AcceptsTheStreamAndTheStreamWithRunsLeftOut) {
  std::vector<char> w = Stream(3000);
  EXPECT_EQ(InOrderRunsOf(w, w), "");
  EXPECT_EQ(InOrderRunsOf(w, {}), "");
  EXPECT_EQ(InOrderRunsOf(w, Cut(w, 1000, 2024)), "");
  EXPECT_EQ(InOrderRunsOf(w, Cut(Cut(w, 2500, 3000), 10, 700)), "");
}

TEST(StressStreamCheck, RefusesDuplicatedReorderedOrChangedBytes) {
  std::vector<char> w = Stream(3000);
  std::vector<char> twice(w.begin(), w.begin() + 2000);
  twice.insert(twice.end(), w.begin() + 1000, w.end());
  EXPECT_NE(InOrderRunsOf(w, twice), "");
  std::vector<char> swapped(w.begin() + 1500, w.end());
  swapped.insert(swapped.end(), w.begin(), w.begin() + 1500);
  EXPECT_NE(InOrderRunsOf(w, swapped), "");
  std::vector<char> changed = w;
  changed[1234] ^= 0x40;
  EXPECT_NE(InOrderRunsOf(w, changed), "");
  std::vector<char> longer = w;
  longer.push_back('x');
  EXPECT_NE(InOrderRunsOf(w, longer), "") << "a byte nobody wrote";
}

TEST(StressChecks, ALosslessPlanWantsEveryReportedByteAndACleanRunEveryByte) {
  ScenarioOutcome outcome;
  outcome.opened = true;
  outcome.writes.push_back({Stream(100), 100, true});
  outcome.received = Stream(100);
  outcome.before = outcome.after = {1, 0, 2, 1, 1};
  Plan clean;
  EXPECT_TRUE(Check(clean, outcome, false, {}).empty());
  outcome.received.pop_back();
  EXPECT_FALSE(Check(clean, outcome, false, {}).empty());
  outcome.writes[0].reported = 99;
  Plan limit;
  ASSERT_TRUE(ParsePlan("bulk-out-limit:64", &limit));
  EXPECT_TRUE(Check(limit, outcome, false, {}).empty()) << "what the write reported came back";
  EXPECT_FALSE(Check(clean, outcome, false, {}).empty()) << "a clean write reports every byte";
  outcome.after[1] = 1;
  EXPECT_FALSE(Check(limit, outcome, false, {}).empty()) << "an IRP left behind";
  EXPECT_TRUE(Check(limit, outcome, true, {}).empty()) << "counts are the removal's to check once unplugged";
  outcome.after[1] = 0;
  EXPECT_FALSE(Check(limit, outcome, false, {"PoolLeak in teardown: ..."}).empty());
}

}  // namespace
