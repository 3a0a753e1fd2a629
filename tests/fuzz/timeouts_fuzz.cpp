// Reads and writes of any length under any COMMTIMEOUTS, through the
// loopback modem: every request ends by its time-out or by a cancel, never
// reports more than it was asked for, and (until a purge may drop some) the
// bytes read are exactly the bytes written, in order.
//
// Input: the time-outs (see TimeoutsFrom), then up to 12 operations.
#include <cstdint>
#include <vector>

#include "support/fuzz_input.h"
#include "support/fuzz_world.h"
#include "support/port_app.h"

namespace {

const size_t kMaxOperations = 12;

// Each of the five values by two bits of a selector: 0, MAXULONG, a small
// count of milliseconds, or any 32-bit value.
fuzz::Timeouts TimeoutsFrom(fuzz::Input &in) {
  uint16_t selector = in.U16();
  uint32_t v[5];
  for (int i = 0; i < 5; ++i) {
    switch ((selector >> (2 * i)) & 3) {
      case 0: v[i] = 0; break;
      case 1: v[i] = 0xFFFFFFFFu; break;
      case 2: v[i] = in.Byte(); break;
      default: v[i] = in.U32(); break;
    }
  }
  return {v[0], v[1], v[2], v[3], v[4]};
}

struct Stream {
  std::vector<uint8_t> written;  // what the driver said it wrote, in order
  std::vector<uint8_t> read;
  bool purged = false;
  uint8_t next = 0;

  std::vector<uint8_t> Payload(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t &b : bytes) b = next++;
    return bytes;
  }
  void Check() const {
    if (purged) return;
    if (read.size() > written.size()) fuzz::Fail("read more bytes than were written");
    for (size_t i = 0; i < read.size(); ++i)
      if (read[i] != written[i]) fuzz::Fail("a byte read differs from the byte written");
  }
};

void Operate(fuzz::Input &in) {
  fuzz::PortApp port;
  if (!port.Open()) fuzz::Fail("COM7 did not open");
  port.SetTimeouts(TimeoutsFrom(in));
  Stream stream;
  for (size_t i = 0; i < kMaxOperations && !in.Empty(); ++i) {
    uint8_t op = in.Byte();
    uint32_t waitMs = 10u * (in.Byte() & 63);  // longer time-outs end by a cancel
    switch (op & 3) {
      case 0: {
        std::vector<uint8_t> bytes = stream.Payload(in.U16() & 0x1FFF);
        long n = port.Write(bytes, waitMs);
        if (n > 0) stream.written.insert(stream.written.end(), bytes.begin(), bytes.begin() + n);
        // A write cut short may have put some of the rest on the wire.
        if (n >= 0 && size_t(n) < bytes.size()) stream.purged = true;
        break;
      }
      case 1: port.Read(in.U16() & 0x1FFF, waitMs, &stream.read); break;
      case 2:
        port.Purge(in.Byte() & 0x0F);
        stream.purged = true;
        break;
      default: port.SetTimeouts(TimeoutsFrom(in)); break;
    }
    stream.Check();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  sim::World world(fuzz::Options("loopback"));
  if (world.Plug() != 0) fuzz::Fail("the modem did not start");
  world.Run([&] { Operate(in); });
  fuzz::CloseOrAbort(world);
  return 0;
}
