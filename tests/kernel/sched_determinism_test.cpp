// A run is a pure function of its seed: same seed, same interleaving and the
// same trace byte for byte; other seeds explore other interleavings.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "kernel/sched_test_util.h"

using namespace sched_test;

namespace {

// Two threads append to one log with schedule points between their steps,
// and a timer DPC adds its own mark.
std::string RacyLog(const sim::KernelOptions &options) {
  std::string log;
  sim::Kernel k(options);
  k.Run([&] {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) NTAPI { *static_cast<std::string *>(ctx) += 'T'; }, &log);
    KeSetTimer(&timer, RelativeMs(1), &dpc);
    auto writer = [&log](char c) {
      return [&log, c] {
        for (int i = 0; i < 20; ++i) {
          log += c;
          sim::SchedulePoint();
        }
      };
    };
    sim::SimThread *a = sim::CreateThread("writer-a", writer('a'));
    sim::SimThread *b = sim::CreateThread("writer-b", writer('b'));
    while (!sim::ThreadFinished(a) || !sim::ThreadFinished(b) || log.find('T') == std::string::npos) {
      DelayMs(1);
    }
  });
  return log;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Determinism, SameSeedGivesTheSameTraceByteForByte) {
  std::string dir = testing::TempDir();
  sim::KernelOptions first = Options(7), second = Options(7);
  first.traceFile = dir + "sched_trace_first.txt";
  second.traceFile = dir + "sched_trace_second.txt";
  std::string logFirst = RacyLog(first);
  std::string logSecond = RacyLog(second);
  EXPECT_EQ(logFirst, logSecond);
  std::string traceFirst = ReadFile(first.traceFile), traceSecond = ReadFile(second.traceFile);
  EXPECT_NE(traceFirst.find("switch "), std::string::npos);
  EXPECT_NE(traceFirst.find("timer fire"), std::string::npos);
  EXPECT_NE(traceFirst.find("dpc run"), std::string::npos);
  EXPECT_NE(traceFirst.find("exit T"), std::string::npos);
  EXPECT_EQ(traceFirst.find("0x"), std::string::npos) << "no pointer values in a trace";
  EXPECT_EQ(traceFirst, traceSecond);
  std::remove(first.traceFile.c_str());
  std::remove(second.traceFile.c_str());
}

TEST(Determinism, DifferentSeedsExploreDifferentInterleavings) {
  std::set<std::string> logs;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    std::string log = RacyLog(Options(seed));
    EXPECT_EQ(log.size(), 41u) << "seed " << seed;
    logs.insert(log);
  }
  EXPECT_GE(logs.size(), 10u);
}

TEST(Determinism, SeedAndTraceComeFromTheEnvironment) {
  auto saved = [](const char *name) {
    const char *v = std::getenv(name);
    return std::make_pair(v != nullptr, std::string(v ? v : ""));
  };
  auto restore = [](const char *name, const std::pair<bool, std::string> &v) {
    if (v.first) setenv(name, v.second.c_str(), 1); else unsetenv(name);
  };
  auto seed = saved("USBMODEM_SEED"), trace = saved("USBMODEM_TRACE");
  setenv("USBMODEM_SEED", "12345", 1);
  setenv("USBMODEM_TRACE", "/tmp/x.trace", 1);
  sim::KernelOptions o = sim::KernelOptions::FromEnvironment();
  unsetenv("USBMODEM_SEED");
  unsetenv("USBMODEM_TRACE");
  sim::KernelOptions d = sim::KernelOptions::FromEnvironment();
  restore("USBMODEM_SEED", seed);
  restore("USBMODEM_TRACE", trace);
  EXPECT_EQ(o.seed, 12345u);
  EXPECT_EQ(o.traceFile, "/tmp/x.trace");
  EXPECT_EQ(d.seed, 1u);
  EXPECT_TRUE(d.traceFile.empty());
}

}  // namespace
