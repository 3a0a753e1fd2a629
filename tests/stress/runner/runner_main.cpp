// stress_runner: the scenario over seeds x processor counts x fault plans,
// every plan the clean run's census says the scenario reaches.
//
//   stress_runner [--seeds N | --seeds A-B] [--cpus 1,2,4] [--plans FAMILY,...]
//                 [--runs N] [--unplug-every S] [--verbose]
//   stress_runner --seed S --cpus C --plan PLAN     (replays one run)
//
// Each run has a child process of its own. A violation is run a second time to
// see that it reproduces, and prints the command that replays it; the summary
// gives runs, plans, violations and the host's wall time. Exit status 1 on
// any violation.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "machine_knobs.h"
#include "plan.h"
#include "isolated.h"
#include "run_one.h"

using namespace stress;

namespace {

struct Options {
  uint64_t firstSeed = 1, lastSeed = 3;
  std::vector<unsigned> cpus = {1, 2, 4};
  std::set<std::string> families;  // empty: all
  uint64_t maxRuns = 0;            // 0: no cap; else seeds go on until this many runs
  uint64_t unplugEvery = 1;        // every S-th schedule point of the traffic
  bool replay = false;
  Plan plan;
  bool verbose = false;
};

// The run in progress, for a crash report (a sanitizer's abort, a signal).
char g_current[256] = "";

void OnCrash(int sig) {
  const char prefix[] = "\nstress_runner: crashed in the run replayed by: ";
  ssize_t ignored = write(2, prefix, sizeof(prefix) - 1);
  ignored = write(2, g_current, strlen(g_current));
  ignored = write(2, "\n", 1);
  (void)ignored;
  signal(sig, SIG_DFL);
  raise(sig);
}

std::vector<std::string> SplitList(const std::string &s) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    items.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

[[noreturn]] void Usage(const char *why) {
  std::fprintf(stderr,
               "stress_runner: %s\nusage: stress_runner [--seeds N|A-B] [--cpus 1,2,4] [--plans FAMILY,...] "
               "[--runs N] [--unplug-every S] [--verbose]\n       stress_runner --seed S --cpus C --plan PLAN\n",
               why);
  std::exit(2);
}

Options Parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value of " + a).c_str());
      return argv[++i];
    };
    if (a == "--seeds") {
      std::string v = value();
      size_t dash = v.find('-');
      o.firstSeed = dash == std::string::npos ? 1 : std::strtoull(v.c_str(), nullptr, 10);
      o.lastSeed = std::strtoull(v.c_str() + (dash == std::string::npos ? 0 : dash + 1), nullptr, 10);
    } else if (a == "--seed") {
      o.firstSeed = o.lastSeed = std::strtoull(value().c_str(), nullptr, 10);
      o.replay = true;
    } else if (a == "--cpus") {
      o.cpus.clear();
      for (const std::string &c : SplitList(value())) o.cpus.push_back(unsigned(std::atoi(c.c_str())));
    } else if (a == "--plans") {
      for (const std::string &f : SplitList(value())) o.families.insert(f);
    } else if (a == "--plan") {
      if (!ParsePlan(value(), &o.plan)) Usage(("no such plan: " + std::string(argv[i])).c_str());
      o.replay = true;
    } else if (a == "--runs") {
      o.maxRuns = std::strtoull(value().c_str(), nullptr, 10);
      o.lastSeed = UINT64_MAX;
    } else if (a == "--unplug-every") {
      o.unplugEvery = std::max<uint64_t>(1, std::strtoull(value().c_str(), nullptr, 10));
    } else if (a == "--verbose") {
      o.verbose = true;
    } else {
      Usage(("unknown argument " + a).c_str());
    }
  }
  if (o.replay && o.cpus.size() != 1) Usage("a replay names one --cpus");
  return o;
}

// Every plan the census says the scenario reaches, in the families asked for.
std::vector<Plan> PlansFrom(const Reach &reach, const Options &o) {
  std::vector<Plan> plans;
  auto add = [&](PlanKind kind, int urbKind, uint64_t k) {
    Plan p;
    p.kind = kind;
    p.urbKind = urbKind;
    p.k = k;
    if (o.families.empty() || o.families.count(PlanFamily(p))) plans.push_back(p);
  };
  for (uint64_t k = 1; k <= reach.allocations; ++k) add(PlanKind::FailPool, 0, k);
  for (int kind = 0; kind < UrbKindCount(); ++kind)
    for (uint32_t k = 1; k <= reach.urbs[kind]; ++k) {
      add(PlanKind::FailUrb, kind, k);
      add(PlanKind::StallUrb, kind, k);
      add(PlanKind::NoAnswerUrb, kind, k);
    }
  for (uint64_t bytes : {1, 63, 64, 65, 700}) add(PlanKind::BulkOutLimit, 0, bytes);
  for (uint64_t n = 1; n <= reach.trafficPoints; n += o.unplugEvery) add(PlanKind::UnplugAt, 0, n);
  for (uint64_t v = 0; v < kCancelStormVariants; ++v) add(PlanKind::CancelStorm, 0, v);
  for (uint64_t v = 0; v < kSleepVariants; ++v) add(PlanKind::SleepDuringTraffic, 0, v);
  return plans;
}

struct Tally {
  uint64_t runs = 0, violations = 0, failedRuns = 0;
  std::set<std::string> plans;
};

bool RunAndReport(uint64_t seed, unsigned cpus, const Plan &plan, const Options &o, Tally *t, Reach *reach) {
  std::string replay = ReplayCommand(seed, cpus, plan);
  std::snprintf(g_current, sizeof(g_current), "%s", replay.c_str());
  if (o.verbose) std::printf("run: %s\n", replay.c_str());
  // A replay runs in this process, so that a debugger or a trace sees it.
  RunResult r = o.replay ? RunOne(seed, cpus, plan) : RunIsolated(seed, cpus, plan);
  ++t->runs;
  t->plans.insert(PlanName(plan));
  if (reach != nullptr) *reach = r.reach;
  if (o.verbose) std::printf("  %s\n", r.summary.c_str());
  if (r.violations.empty()) return true;
  ++t->failedRuns;
  t->violations += r.violations.size();
  std::printf("VIOLATION in seed %llu, %u CPUs, plan %s:\n", (unsigned long long)seed, cpus, PlanName(plan).c_str());
  for (const std::string &v : r.violations) std::printf("  %s\n", v.c_str());
  // The same run once more must find the same: otherwise the replay would not show it.
  if (!o.replay && RunIsolated(seed, cpus, plan).violations != r.violations)
    std::printf("  NOT REPRODUCED by a second run: the run depends on something besides its seed\n");
  std::printf("  replay: %s\n", replay.c_str());
  std::fflush(stdout);
  return false;
}

bool Done(const Options &o, const Tally &t) { return o.maxRuns != 0 && t.runs >= o.maxRuns; }

}  // namespace

int main(int argc, char **argv) {
  Options o = Parse(argc, argv);
  signal(SIGSEGV, OnCrash);
  signal(SIGABRT, OnCrash);
  auto start = std::chrono::steady_clock::now();
  Tally t;
  if (o.replay) {
    RunAndReport(o.firstSeed, o.cpus.front(), o.plan, o, &t, nullptr);
  } else {
    for (uint64_t seed = o.firstSeed; seed <= o.lastSeed && !Done(o, t); ++seed) {
      for (unsigned cpus : o.cpus) {
        if (Done(o, t)) break;
        Reach reach;
        RunAndReport(seed, cpus, Plan(), o, &t, &reach);
        for (const Plan &plan : PlansFrom(reach, o)) {
          if (Done(o, t)) break;
          RunAndReport(seed, cpus, plan, o, &t, nullptr);
        }
      }
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("stress: %llu runs, %zu plans, %llu violations in %llu runs, %.1f s wall\n",
              (unsigned long long)t.runs, t.plans.size(), (unsigned long long)t.violations,
              (unsigned long long)t.failedRuns, seconds);
  return t.failedRuns == 0 ? 0 : 1;
}
