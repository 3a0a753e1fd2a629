// Benchmarks of the host build: what the driver's receive ring costs per
// transfer, and what the whole simulated machine costs to carry a loopback
// write through the driver, the bus and back. Virtual time is free; these
// measure host CPU, so they guide the simulation's speed, not the driver's.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/world/world.h"

// The ring is the driver's own code; it runs here inside a simulated thread
// because it takes a spin lock.
#include "bench/ring_bench.h"
#include "bench/throughput.h"

static void BM_RingAppendTake(benchmark::State &state) {
  const unsigned chunk = static_cast<unsigned>(state.range(0));
  RunRingBench(state, chunk);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(BM_RingAppendTake)->Arg(64)->Arg(1024);

// One application writes `bytes` to COM7 and reads them back through the
// loopback modem; a fresh machine each iteration.
static void BM_LoopbackRoundTrip(benchmark::State &state) {
  const DWORD bytes = static_cast<DWORD>(state.range(0));
  uint64_t seed = 1;
  for (auto _ : state) {
    sim::WorldOptions options;
    options.seed = seed++;
    options.model = "loopback";
    sim::World world(options);
    bool ok = false;
    world.Run([&] {
      HANDLE port = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
      if (port == INVALID_HANDLE_VALUE) return;
      COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
      SetCommTimeouts(port, &timeouts);
      std::vector<char> out(bytes, 'x'), in(bytes);
      DWORD written = 0, received = 0;
      WriteFile(port, out.data(), bytes, &written, NULL);
      for (int polls = 0; received < bytes && polls < 10000; ++polls) {
        DWORD got = 0;
        ReadFile(port, in.data() + received, bytes - received, &got, NULL);
        received += got;
        if (got == 0) Sleep(1);
      }
      ok = received == bytes && std::memcmp(out.data(), in.data(), bytes) == 0;
      CloseHandle(port);
    });
    if (!world.Close().empty() || !ok) state.SkipWithError("round trip failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_LoopbackRoundTrip)->Arg(1024)->Arg(30000)->Unit(benchmark::kMillisecond);

// The throughput table first (virtual time), then the host-CPU benchmarks.
// `--throughput-only` stops after the table; `--throughput-seeds=N` sets how
// many seeds each row's slowest run is taken from (default 3).
int main(int argc, char **argv) {
  unsigned seeds = 3;
  bool onlyTable = false;
  std::vector<char *> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--throughput-only") == 0) {
      onlyTable = true;
    } else if (std::strncmp(argv[i], "--throughput-seeds=", 19) == 0) {
      seeds = static_cast<unsigned>(std::strtoul(argv[i] + 19, nullptr, 10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  bool ok = PrintThroughputTable(seeds == 0 ? 1 : seeds);
  if (onlyTable) return ok ? 0 : 1;
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return ok ? 0 : 1;
}
