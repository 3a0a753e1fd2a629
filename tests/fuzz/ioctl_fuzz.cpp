// Device-control requests to an open COM7: any code (most often one of the
// serial ones), any input and output lengths, the system buffer absent or
// exactly as long as the I/O manager makes it (the longer of the two), its
// bytes from the input. Requests the driver pends stay outstanding while
// later ones arrive; the port's close must end them, a cancel at the latest.
//
// Input: up to 16 requests, each a control byte, the code, the lengths and
// the buffer's leading bytes (see NextRequest).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ntddser.h>
#include <wdm.h>

#include "sim/kernel/sim.h"
#include "support/fuzz_input.h"
#include "support/fuzz_world.h"
#include "support/port_app.h"

namespace {

const ULONG kSerialCodes[] = {
    IOCTL_SERIAL_CLEAR_STATS,      IOCTL_SERIAL_CLR_DTR,          IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_CONFIG_SIZE,      IOCTL_SERIAL_GET_BAUD_RATE,    IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_GET_COMMSTATUS,   IOCTL_SERIAL_GET_DTRRTS,       IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_PROPERTIES,   IOCTL_SERIAL_GET_STATS,        IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_GET_WAIT_MASK,    IOCTL_SERIAL_IMMEDIATE_CHAR,   IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_PURGE,            IOCTL_SERIAL_RESET_DEVICE,     IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_SET_BREAK_ON,     IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_SET_RTS,          IOCTL_SERIAL_SET_TIMEOUTS,     IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_SET_XOFF,         IOCTL_SERIAL_SET_XON,          IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_XOFF_COUNTER,     IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,
    IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE,
    IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
};
const size_t kSerialCodeCount = sizeof kSerialCodes / sizeof kSerialCodes[0];

const size_t kMaxRequests = 16;

// The control byte of a request.
enum : uint8_t {
  kNoBuffer = 0x01,      // no system buffer, lengths any 32-bit values
  kShortLengths = 0x02,  // lengths below 64, where the structures' sizes are
  kInternal = 0x04,      // IRP_MJ_INTERNAL_DEVICE_CONTROL
  kRawCode = 0x08,       // a 32-bit code follows, else an index into the serial codes
  kPause = 0x10,         // 20 ms pass after sending
  kCancel = 0x20,        // cancelled right after sending
};

struct Request {
  PIRP irp = nullptr;
  std::vector<uint8_t> buffer;  // the system buffer, exactly its length
  ULONG code = 0;
  ULONG outLength = 0;
  KEVENT done;
  NTSTATUS returned = STATUS_PENDING;

  Request() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  ~Request() {
    if (irp != nullptr) IoFreeIrp(irp);
  }
  bool Done() { return KeReadStateEvent(&done) != 0; }
  bool Wait(uint64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(ms) * 10000;
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) != STATUS_TIMEOUT;
  }
};

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(v));
  return text;
}

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
  Request *r = static_cast<Request *>(context);
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the target frees the IRP
}

// Builds the next request from the input and sends it to the device.
std::unique_ptr<Request> SendNext(PDEVICE_OBJECT fdo, fuzz::Input &in, uint8_t control) {
  ULONG code = (control & kRawCode) ? in.U32() : kSerialCodes[in.Byte() % kSerialCodeCount];
  ULONG inLength, outLength;
  if (control & kNoBuffer) {
    inLength = in.U32();
    outLength = in.U32();
  } else if (control & kShortLengths) {
    inLength = in.Byte() & 63;
    outLength = in.Byte() & 63;
  } else {
    inLength = in.U16();
    outLength = in.U16();
  }
  std::vector<uint8_t> contents = in.Bytes(in.Byte());

  std::unique_ptr<Request> r(new Request);
  r->irp = IoAllocateIrp(fdo->StackSize, FALSE);
  if (r->irp == nullptr) fuzz::Fail("IoAllocateIrp failed");
  PIRP irp = r->irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  if (!(control & kNoBuffer)) {
    size_t length = inLength > outLength ? inLength : outLength;
    r->buffer.assign(length, 0);
    size_t copied = contents.size() < length ? contents.size() : length;
    if (copied != 0) std::memcpy(r->buffer.data(), contents.data(), copied);
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = r->buffer.data();
      irp->Flags = IRP_BUFFERED_IO | (outLength != 0 ? IRP_INPUT_OPERATION : 0);
    }
  }
  r->code = code;
  r->outLength = outLength;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = (control & kInternal) ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  IoSetCompletionRoutine(irp, Completed, r.get(), TRUE, TRUE, TRUE);
  r->returned = IofCallDriver(fdo, irp);
  if (control & kCancel) IoCancelIrp(irp);
  return r;
}

// The I/O manager copies Information bytes from the system buffer to the
// caller's output buffer when there is one (a request with no output, such
// as a purge, may report the size of its input, as documented).
void CheckEnded(Request &r) {
  NTSTATUS status = r.irp->IoStatus.Status;
  if (r.returned != STATUS_PENDING && r.returned != status) fuzz::Fail("returned one status, completed with another");
  bool error = (ULONG(status) >> 30) == 3;  // warnings copy back too
  ULONG_PTR limit = r.outLength != 0 ? r.outLength : r.buffer.size();
  if (!error && !r.buffer.empty() && r.irp->IoStatus.Information > limit)
    fuzz::Fail("the reply is longer than the buffer: code " + Hex(r.code) + ", status " + Hex(ULONG(status)) + ", " +
               std::to_string(r.irp->IoStatus.Information) + " bytes for " + std::to_string(limit));
}

void SleepMs(uint64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void Exchange(PDEVICE_OBJECT fdo, fuzz::Input &in) {
  std::vector<std::unique_ptr<Request>> requests;
  {
    fuzz::PortApp port;
    if (!port.Open()) fuzz::Fail("COM7 did not open");
    while (!in.Empty() && requests.size() < kMaxRequests) {
      uint8_t control = in.Byte();
      requests.push_back(SendNext(fdo, in, control));
      if (control & kPause) SleepMs(20);
    }
    SleepMs(50);
  }  // the close: what the driver still holds must end now
  for (auto &r : requests)
    if (!r->Done() && !r->Wait(1000)) IoCancelIrp(r->irp);
  for (auto &r : requests) {
    if (!r->Wait(5000)) fuzz::Fail("a request outlived the close and its cancel");
    CheckEnded(*r);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  sim::World world(fuzz::Options());
  if (world.Plug() != 0) fuzz::Fail("the modem did not start");
  world.Run([&] { Exchange(world.Fdo(), in); });
  fuzz::CloseOrAbort(world);
  return 0;
}
