#include "scenario.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "sim/world/world.h"

namespace stress {

namespace {

const int kS3 = 4;  // PowerSystemSleeping3

struct Overlapped {
  OVERLAPPED ov;
  Overlapped() {
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  Overlapped(const Overlapped &) = delete;
  Overlapped &operator=(const Overlapped &) = delete;
};

// What the threads of one run share.
struct Run {
  sim::World *world;
  Plan plan;
  uint64_t seed;
  HANDLE port = INVALID_HANDLE_VALUE;
  ScenarioOutcome *out;
  bool writerDone = false;
  bool closedByStorm = false;
};

// Long enough for any request of the scenario to end under any plan:
// write time-outs and the driver's own time-outs are well below it.
const DWORD kEndsWithin = 30000;

// An overlapped request ended, or the scenario notes that it did not. With
// `patience` the application itself cancels it after that long, as one must
// where nothing else would end it.
bool Finish(Run *run, BOOL ok, Overlapped &io, DWORD *n, const char *what, DWORD patience = 0) {
  if (ok) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  if (patience != 0 && WaitForSingleObject(io.ov.hEvent, patience) != WAIT_OBJECT_0) CancelIo(run->port);
  if (WaitForSingleObject(io.ov.hEvent, kEndsWithin) != WAIT_OBJECT_0) {
    run->out->violations.push_back(std::string(what) + " still pending after " + std::to_string(kEndsWithin) +
                                   " ms");
    CancelIo(run->port);
    WaitForSingleObject(io.ov.hEvent, INFINITE);
  }
  return GetOverlappedResult(run->port, &io.ov, n, FALSE) != FALSE;
}

std::vector<char> Pattern(size_t length, uint64_t salt) {
  std::vector<char> bytes(length);
  uint32_t x = 2463534242u ^ uint32_t(salt * 2654435761u);
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x);
  }
  return bytes;
}

void Configure(Run *run) {
  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  if (GetCommState(run->port, &dcb)) {
    dcb.BaudRate = run->seed % 2 ? CBR_115200 : CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(run->port, &dcb);
  }
  // Reads give what came once the line is quiet for 20 ms, or after 200 ms;
  // writes give up after a second and a millisecond a byte.
  COMMTIMEOUTS t = {20, 0, 200, 1, 1000};
  SetCommTimeouts(run->port, &t);
}

// A wait pending on the mask is ended by setting a new one.
void WaitEndedByNewMask(Run *run) {
  if (!SetCommMask(run->port, EV_RXFLAG)) return;
  Overlapped wait;
  DWORD events = 0, n = 0;
  BOOL ok = WaitCommEvent(run->port, &events, &wait.ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) SetCommMask(run->port, EV_RXCHAR);
  Finish(run, ok, wait, &n, "a wait ended by SetCommMask");
}

// The driver keeps no write time-outs: a piece the modem never answers holds
// its write until the application cancels it.
bool WriteCanHang(const Plan &plan) {
  return plan.kind == PlanKind::NoAnswerUrb && std::string(UrbKindName(plan.urbKind)) == "BULK_OUT";
}

DWORD WINAPI Writer(LPVOID context) {
  Run *run = static_cast<Run *>(context);
  for (WriteResult &w : run->out->writes) {
    Overlapped io;
    DWORD n = 0;
    BOOL ok = WriteFile(run->port, w.bytes.data(), DWORD(w.bytes.size()), &n, &io.ov);
    w.succeeded = Finish(run, ok, io, &n, "a write", WriteCanHang(run->plan) ? 2000 : 0);
    w.reported = n;
    if (run->plan.kind == PlanKind::SleepDuringTraffic && run->plan.k == 0 && &w == &run->out->writes.front()) {
      run->world->Sleep(kS3);
      run->world->Wake();
    }
  }
  run->writerDone = true;
  return 0;
}

// Reads until the writer is done and the line has stayed quiet a while:
// queued reads on some seeds, reads after EV_RXCHAR on others.
void Read(Run *run) {
  bool onEvents = run->seed % 3 == 0;
  std::vector<char> buffer(4096);
  int quiet = 0;
  for (int round = 0; round < 400 && quiet < 4; ++round) {
    if (onEvents) {
      Overlapped wait;
      DWORD events = 0, n = 0;
      BOOL ok = WaitCommEvent(run->port, &events, &wait.ov);
      if (!ok && GetLastError() == ERROR_IO_PENDING &&
          WaitForSingleObject(wait.ov.hEvent, 300) != WAIT_OBJECT_0)
        SetCommMask(run->port, EV_RXCHAR);  // ends the wait with an empty mask
      Finish(run, ok, wait, &n, "a WaitCommEvent");
    }
    Overlapped io;
    DWORD n = 0;
    BOOL ok = ReadFile(run->port, buffer.data(), DWORD(buffer.size()), &n, &io.ov);
    bool done = Finish(run, ok, io, &n, "a read");
    if (!done && GetLastError() == ERROR_INVALID_HANDLE) return;
    run->out->received.insert(run->out->received.end(), buffer.data(), buffer.data() + n);
    quiet = n == 0 && run->writerDone ? quiet + 1 : 0;
  }
}

DWORD WINAPI Storm(LPVOID context) {
  Run *run = static_cast<Run *>(context);
  Sleep(DWORD(run->seed * 7 % 60));
  if (run->plan.kind == PlanKind::SleepDuringTraffic) {
    run->world->Sleep(kS3);
    run->world->Wake();
    return 0;
  }
  switch (run->plan.k) {
    case 0:
      for (int i = 0; i < 4; ++i, Sleep(DWORD(run->seed % 13))) CancelIo(run->port);
      break;
    case 1:
      for (int i = 0; i < 3; ++i, Sleep(DWORD(run->seed % 17)))
        PurgeComm(run->port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
      break;
    default:
      run->closedByStorm = true;
      CloseHandle(run->port);
      break;
  }
  return 0;
}

bool HasStorm(const Plan &plan) {
  return plan.kind == PlanKind::CancelStorm || (plan.kind == PlanKind::SleepDuringTraffic && plan.k == 1);
}

void Traffic(Run *run) {
  for (int i = 0; i < 3; ++i)
    run->out->writes.push_back({Pattern(100 + (run->seed * 131 + i * 577) % 1400, run->seed * 3 + i), 0, false});
  ArmBeforeTraffic(*run->world, run->plan);
  uint64_t start = SchedulePointsNow();
  HANDLE writer = CreateThread(NULL, 0, Writer, run, 0, NULL);
  HANDLE storm = HasStorm(run->plan) ? CreateThread(NULL, 0, Storm, run, 0, NULL) : NULL;
  Read(run);
  if (WaitForSingleObject(writer, kEndsWithin) != WAIT_OBJECT_0) run->out->violations.push_back("the writer hangs");
  if (storm != NULL && WaitForSingleObject(storm, kEndsWithin) != WAIT_OBJECT_0)
    run->out->violations.push_back("the storm thread hangs");
  run->out->reach.trafficPoints = SchedulePointsNow() - start;
  CloseHandle(writer);
  if (storm != NULL) CloseHandle(storm);
}

// A read waiting for more than comes ends on PURGE_RXABORT, a wait on CancelIo.
void PurgeAndCancel(Run *run) {
  COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
  if (!SetCommTimeouts(run->port, &forever)) return;
  {
    std::vector<char> buffer(100);
    Overlapped io;
    DWORD n = 0;
    BOOL ok = ReadFile(run->port, buffer.data(), DWORD(buffer.size()), &n, &io.ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) PurgeComm(run->port, PURGE_RXABORT | PURGE_RXCLEAR);
    Finish(run, ok, io, &n, "a read ended by PurgeComm");
  }
  Overlapped wait;
  DWORD events = 0, n = 0;
  BOOL ok = WaitCommEvent(run->port, &events, &wait.ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) CancelIo(run->port);
  Finish(run, ok, wait, &n, "a wait ended by CancelIo");
}

std::vector<long> Counts(sim::World &world) {
  sim::MachineCounts c = world.Counts();
  sim::DeviceView view = world.View();
  // Once the system has slept the driver keeps a wait-wake armed until the
  // removal; the removal's checks see whether it goes.
  long irps = long(c.irps) - (view.waitWakePending ? 1 : 0);
  return {long(c.driverPoolBlocks), irps, long(c.handles), long(c.systemThreads), view.outstandingIo};
}

}  // namespace

ScenarioOutcome RunScenario(sim::World &world, const Plan &plan, uint64_t seed) {
  ScenarioOutcome out;
  Run run;
  run.world = &world;
  run.plan = plan;
  run.seed = seed;
  run.out = &out;
  // Taken with the application's own event handles not yet open, so that
  // only the driver's and the machine's count.
  out.before = Counts(world);
  ReachMark mark = MarkReach(world);
  ArmBeforeOpen(world, plan);
  run.port = CreateFileW(sim::World::PortPath(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, NULL);
  out.opened = run.port != INVALID_HANDLE_VALUE;
  if (out.opened) {
    Configure(&run);
    WaitEndedByNewMask(&run);
    Traffic(&run);
    if (!run.closedByStorm) {
      PurgeAndCancel(&run);
      CloseHandle(run.port);
    }
  }
  uint64_t trafficPoints = out.reach.trafficPoints;
  out.reach = Since(world, mark);
  out.reach.trafficPoints = trafficPoints;
  // A status poll or a removal the close raced with ends.
  Sleep(500);
  world.WaitUntilSettled();
  out.after = Counts(world);
  return out;
}

}  // namespace stress
