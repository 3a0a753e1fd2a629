// The data path measured in virtual time: how many bytes per second an
// application gets through COM7 on the simulated full-speed bus, with every
// byte checked for loss and order. Host CPU does not enter into it.
#include "bench/throughput.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/machine_clock.h"
#include "sim/usb/model.h"
#include "sim/world/world.h"

namespace {

constexpr DWORD kStreamBytes = 1000000;
constexpr DWORD kWriteChunk = 65536;

struct Row {
  std::string scenario;
  std::string reads;
  uint32_t latencyUs;
  uint64_t bytes = 0;
  uint64_t elapsed100ns = 0;
  uint64_t lost = 0;  // bytes missing, repeated or out of order
  bool faulted = false;

  double BytesPerSecond() const { return elapsed100ns == 0 ? 0 : double(bytes) * 1e7 / double(elapsed100ns); }
};

// Overlapped, as a program with a writer thread beside a waiting reader must
// open it: on a synchronous handle the I/O manager lets one request at a time
// through, and a pending WaitCommEvent would hold every write back.
HANDLE OpenPort(const COMMTIMEOUTS &timeouts) {
  HANDLE port = CreateFileW(sim::World::PortPath(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
  if (port == INVALID_HANDLE_VALUE) return port;
  COMMTIMEOUTS t = timeouts;
  SetCommTimeouts(port, &t);
  SetCommMask(port, EV_RXCHAR);
  return port;
}

// One overlapped request, waited for; false on failure.
class Overlapped {
 public:
  Overlapped() {
    std::memset(&ov_, 0, sizeof ov_);
    ov_.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  }
  ~Overlapped() { CloseHandle(ov_.hEvent); }
  bool Read(HANDLE port, void *buffer, DWORD n, DWORD *got) {
    return Finish(port, ReadFile(port, buffer, n, got, &ov_), got, INFINITE);
  }
  bool Write(HANDLE port, const void *buffer, DWORD n, DWORD *written) {
    return Finish(port, WriteFile(port, buffer, n, written, &ov_), written, INFINITE);
  }
  // The events, or 0 when none came within `ms`.
  DWORD WaitEvent(HANDLE port, DWORD ms) {
    DWORD events = 0, ignored = 0;
    if (!Finish(port, WaitCommEvent(port, &events, &ov_), &ignored, ms)) return 0;
    return events;
  }

 private:
  bool Finish(HANDLE port, BOOL started, DWORD *count, DWORD ms) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (!started && WaitForSingleObject(ov_.hEvent, ms) != WAIT_OBJECT_0) {
      CancelIo(port);
      GetOverlappedResult(port, &ov_, count, TRUE);
      return false;
    }
    return GetOverlappedResult(port, &ov_, count, TRUE) != FALSE;
  }
  OVERLAPPED ov_;
};

// Checks what arrived against the stream, counting every byte out of place.
struct StreamCheck {
  uint64_t next = 0;
  uint64_t wrong = 0;
  void Take(const uint8_t *data, DWORD n) {
    for (DWORD i = 0; i < n; ++i) {
      if (data[i] != sim::usb::StreamByte(next + i)) ++wrong;
    }
    next += n;
  }
};

// Return-at-once reads after each WaitCommEvent until `total` bytes came,
// or nothing for a second.
void ReadAfterEvents(HANDLE port, DWORD total, StreamCheck *check, uint64_t *firstAt, DWORD *firstBytes) {
  std::vector<uint8_t> buffer(65536);
  Overlapped wait, read;
  while (check->next < total) {
    DWORD events = wait.WaitEvent(port, 1000);
    bool any = false;
    for (;;) {
      DWORD got = 0;
      DWORD want = std::min<DWORD>(DWORD(buffer.size()), total - DWORD(check->next));
      if (want == 0 || !read.Read(port, buffer.data(), want, &got) || got == 0) break;
      if (*firstAt == 0) {
        *firstAt = bench::VirtualNow100ns();
        *firstBytes = got;
      }
      check->Take(buffer.data(), got);
      any = true;
    }
    if (events == 0 && !any) return;
  }
}

// Reads of `size` bytes each, queued in the driver until they are full or
// its read time-out ends them.
void QueuedReads(HANDLE port, DWORD size, DWORD total, StreamCheck *check, uint64_t *firstAt, DWORD *firstBytes) {
  std::vector<uint8_t> buffer(size);
  Overlapped read;
  for (int empty = 0; check->next < total && empty < 20;) {
    DWORD got = 0;
    if (!read.Read(port, buffer.data(), std::min(size, total - DWORD(check->next)), &got)) return;
    empty = got == 0 ? empty + 1 : 0;
    if (got != 0 && *firstAt == 0) {
      *firstAt = bench::VirtualNow100ns();
      *firstBytes = got;
    }
    check->Take(buffer.data(), got);
  }
}

void WriteStream(HANDLE port, DWORD total) {
  std::vector<uint8_t> chunk(kWriteChunk);
  Overlapped write;
  for (DWORD sent = 0; sent < total;) {
    DWORD n = std::min(kWriteChunk, total - sent);
    for (DWORD i = 0; i < n; ++i) chunk[i] = sim::usb::StreamByte(sent + i);
    DWORD written = 0;
    if (!write.Write(port, chunk.data(), n, &written) || written == 0) return;
    sent += written;
  }
}

DWORD WINAPI WriterThread(LPVOID context) {
  WriteStream(static_cast<HANDLE>(context), kStreamBytes);
  return 0;
}

const COMMTIMEOUTS kAtOnce = {MAXDWORD, 0, 0, 0, 0};
const COMMTIMEOUTS kQueued = {0, 0, 0, 0, 0};

// What a reader got of the stream, and when its first bytes came.
struct Received {
  StreamCheck check;
  uint64_t firstAt = 0;
  DWORD firstBytes = 0;
  uint64_t Lost() const { return check.wrong + (check.next < kStreamBytes ? kStreamBytes - check.next : 0); }
};

Received ReadStream(HANDLE port, DWORD queuedSize) {
  Received r;
  if (queuedSize == 0) {
    ReadAfterEvents(port, kStreamBytes, &r.check, &r.firstAt, &r.firstBytes);
  } else {
    QueuedReads(port, queuedSize, kStreamBytes, &r.check, &r.firstAt, &r.firstBytes);
  }
  return r;
}

std::string ReadsLabel(DWORD queuedSize) {
  return queuedSize == 0 ? "at once after WaitCommEvent" : std::to_string(queuedSize / 1024) + " KB queued";
}

// The device streams, the application reads.
Row MeasureIn(uint64_t seed, DWORD queuedSize, uint32_t latencyUs) {
  Row row{"bulk-IN alone", ReadsLabel(queuedSize), latencyUs};
  sim::WorldOptions options;
  options.seed = seed;
  options.model = "source";
  sim::World world(options);
  world.Run([&] {
    bench::SetReaderWakeLatency(latencyUs);
    HANDLE port = OpenPort(queuedSize == 0 ? kAtOnce : kQueued);
    if (port == INVALID_HANDLE_VALUE) return;
    Received got = ReadStream(port, queuedSize);
    row.bytes = got.check.next - got.firstBytes;
    row.elapsed100ns = bench::VirtualNow100ns() - got.firstAt;
    row.lost = got.Lost();
    CloseHandle(port);
  });
  row.faulted = !world.Close().empty();
  return row;
}

// The application writes, the device takes everything.
Row MeasureOut(uint64_t seed, uint32_t latencyUs) {
  Row row{"bulk-OUT alone", "-", latencyUs};
  sim::WorldOptions options;
  options.seed = seed;
  options.model = "sink";
  sim::World world(options);
  world.Run([&] {
    bench::SetReaderWakeLatency(latencyUs);
    HANDLE port = OpenPort(kAtOnce);
    if (port == INVALID_HANDLE_VALUE) return;
    uint64_t start = bench::VirtualNow100ns();
    WriteStream(port, kStreamBytes);
    row.elapsed100ns = bench::VirtualNow100ns() - start;
    auto *sink = static_cast<sim::usb::StreamSinkModel *>(world.ModemModel());
    row.bytes = sink->Received();
    row.lost = sink->Mismatches() + (kStreamBytes - std::min<uint64_t>(kStreamBytes, sink->Received()));
    CloseHandle(port);
  });
  row.faulted = !world.Close().empty();
  return row;
}

// A writer thread and a reader share the bus through the loopback modem.
Row MeasureLoopback(uint64_t seed, DWORD queuedSize, uint32_t latencyUs) {
  Row row{"loopback", ReadsLabel(queuedSize), latencyUs};
  sim::WorldOptions options;
  options.seed = seed;
  options.model = "loopback";
  sim::World world(options);
  world.Run([&] {
    bench::SetReaderWakeLatency(latencyUs);
    HANDLE port = OpenPort(queuedSize == 0 ? kAtOnce : kQueued);
    if (port == INVALID_HANDLE_VALUE) return;
    uint64_t start = bench::VirtualNow100ns();
    HANDLE writer = CreateThread(NULL, 0, WriterThread, port, 0, NULL);
    Received got = ReadStream(port, queuedSize);
    row.bytes = got.check.next;
    row.elapsed100ns = bench::VirtualNow100ns() - start;
    row.lost = got.Lost();
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
    CloseHandle(port);
  });
  row.faulted = !world.Close().empty();
  return row;
}

// The slowest of the seeds: what the table promises holds for each.
Row Slowest(const std::vector<Row> &rows) {
  Row worst = rows.front();
  for (const Row &r : rows) {
    if (r.BytesPerSecond() < worst.BytesPerSecond()) worst = r;
    worst.lost = std::max(worst.lost, r.lost);
    worst.faulted = worst.faulted || r.faulted;
  }
  return worst;
}

template <typename Measure>
Row OverSeeds(unsigned seeds, Measure measure) {
  std::vector<Row> rows;
  for (unsigned s = 1; s <= seeds; ++s) rows.push_back(measure(s));
  return Slowest(rows);
}

}  // namespace

bool PrintThroughputTable(unsigned seeds) {
  std::vector<Row> rows;
  const DWORD queued[] = {1024, 4096, 16384, 40960};
  for (uint32_t latency : {0u, 300u}) {
    rows.push_back(OverSeeds(seeds, [&](uint64_t s) { return MeasureIn(s, 0, latency); }));
    rows.push_back(OverSeeds(seeds, [&](uint64_t s) { return MeasureOut(s, latency); }));
    rows.push_back(OverSeeds(seeds, [&](uint64_t s) { return MeasureLoopback(s, 0, latency); }));
    for (DWORD size : queued) rows.push_back(OverSeeds(seeds, [&](uint64_t s) { return MeasureIn(s, size, latency); }));
    for (DWORD size : queued)
      rows.push_back(OverSeeds(seeds, [&](uint64_t s) { return MeasureLoopback(s, size, latency); }));
  }
  std::printf("Throughput in virtual time, slowest of seeds 1-%u, %u CPUs (1,000,000 bytes a run)\n\n", seeds,
              bench::Processors());
  std::printf("| scenario | reads | reader thread latency | bytes | virtual ms | bytes/s | lost or out of order |\n");
  std::printf("|---|---|---|---:|---:|---:|---:|\n");
  bool ok = true;
  for (const Row &r : rows) {
    std::printf("| %s | %s | %s | %llu | %.1f | %.0f | %llu%s |\n", r.scenario.c_str(), r.reads.c_str(),
                r.latencyUs == 0 ? "none" : ("0-" + std::to_string(r.latencyUs) + " us").c_str(),
                static_cast<unsigned long long>(r.bytes), double(r.elapsed100ns) / 1e4, r.BytesPerSecond(),
                static_cast<unsigned long long>(r.lost), r.faulted ? " (verifier fault)" : "");
    ok = ok && r.lost == 0 && !r.faulted;
  }
  std::fflush(stdout);
  return ok;
}
