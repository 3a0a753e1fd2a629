#include "bench/ring_bench.h"

#include <benchmark/benchmark.h>

#include <vector>

#include "datapath/ring.h"
#include "sim/kernel/sim.h"

void RunRingBench(benchmark::State &state, unsigned chunk) {
  sim::KernelOptions options;
  sim::Kernel kernel(options);
  std::vector<UCHAR> storage(sizeof(DEVICE_EXTENSION));
  auto *ext = reinterpret_cast<PDEVICE_EXTENSION>(storage.data());
  std::vector<UCHAR> source(chunk, 0x5A), sink(chunk);
  kernel.Run([&] {
    KeInitializeSpinLock(&ext->RingLock);
    IRP irp = {};
    irp.AssociatedIrp.SystemBuffer = sink.data();
    for (auto _ : state) {
      RingAppend(ext, source.data(), chunk);
      KIRQL old;
      KeAcquireSpinLock(&ext->RingLock, &old);
      RingTake(ext, &irp, chunk);
      KeReleaseSpinLock(&ext->RingLock, old);
    }
  });
  kernel.Shutdown();
}
