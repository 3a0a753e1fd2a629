// The scheduler's own cost: two simulated threads hand a synchronization
// event back and forth, so every round trip needs at least two switches.
#include <benchmark/benchmark.h>

#include "sim/kernel/sim.h"

namespace {

struct PingPong {
  KEVENT ping, pong;
};

void RunPingPong(int roundTrips) {
  sim::KernelOptions options;
  options.seed = 1;
  sim::Kernel k(options);
  PingPong p;
  k.Run([&] {
    KeInitializeEvent(&p.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.pong, SynchronizationEvent, FALSE);
    sim::SimThread *partner = sim::CreateThread("partner", [&] {
      for (int i = 0; i < roundTrips; ++i) {
        KeWaitForSingleObject(&p.ping, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&p.pong, IO_NO_INCREMENT, FALSE);
      }
    });
    for (int i = 0; i < roundTrips; ++i) {
      KeSetEvent(&p.ping, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&p.pong, Executive, KernelMode, FALSE, nullptr);
    }
    while (!sim::ThreadFinished(partner)) {
      LARGE_INTEGER t;
      t.QuadPart = -10000;
      KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
  });
}

}  // namespace

static void BM_SchedulerEventPingPong(benchmark::State &state) {
  const int roundTrips = static_cast<int>(state.range(0));
  uint64_t before = sim::SwitchCount();
  for (auto _ : state) RunPingPong(roundTrips);
  uint64_t switches = sim::SwitchCount() - before;
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * roundTrips, benchmark::Counter::kIsRate);
  state.counters["switches/s"] = benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
}
// Real time: with OS threads the switches were spent outside the measuring thread.
BENCHMARK(BM_SchedulerEventPingPong)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
