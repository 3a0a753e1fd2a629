// The Hayes model's command interpreter: any bytes typed, with DTR drops,
// time passing, calls coming in and the far end acting between them. The
// model runs on its own with a clock the target steps, as tests/modem does.
//
// Input: a flags byte (DTR at the start, how dialled numbers answer), then
// bytes typed; 0xFF starts an action, its next byte says which.
#include <cstdint>
#include <string>

#include "sim/modem/hayes_modem.h"
#include "support/fuzz_input.h"
#include "support/fuzz_world.h"

namespace {

using sim::modem::HayesModem;

struct Rig {
  uint64_t now = 1000;
  HayesModem modem{[this] { return now; }};
  size_t said = 0;

  void Drain() {
    uint8_t buffer[64];
    while (size_t n = modem.TakeIn(buffer, sizeof buffer)) {
      said += n;
      if (n > sizeof buffer) fuzz::Fail("TakeIn returned more than the buffer holds");
    }
  }

  // Runs every wake-up due within ms; a model that asks to be woken again
  // and again without time moving would hang the bus engine.
  void Advance(uint64_t ms) {
    uint64_t end = now + ms;
    for (int guard = 0;; ++guard) {
      uint64_t wake = modem.NextWakeMs();
      if (wake == 0 || wake > end) break;
      if (guard > 100000) fuzz::Fail("the modem keeps asking to be woken");
      if (wake > now) now = wake;
      modem.OnWake();
      Drain();
    }
    now = end;
  }
};

sim::modem::FarEnd FarEndFrom(uint8_t flags) {
  sim::modem::FarEnd far;
  far.kind = static_cast<sim::modem::FarEnd::Kind>((flags >> 1) & 3);
  far.answerAfterMs = 100u * ((flags >> 3) & 7);
  far.connection.hangUpAfterMs = (flags & 0x40) ? 3000 : 0;
  far.connection.echo = (flags & 0x80) != 0;
  return far;
}

void Act(Rig &rig, fuzz::Input &in) {
  uint8_t action = in.Byte();
  switch (action & 7) {
    case 0: rig.Advance(10u * in.Byte()); break;
    case 1: rig.Advance(1000u * in.Byte()); break;
    case 2: rig.modem.OnSetDtr((action & 8) != 0); break;
    case 3: {
      sim::modem::Caller caller;
      caller.rings = in.Byte() & 7;
      rig.modem.Ring(caller);
      break;
    }
    case 4: rig.modem.RemoteHangUp(); break;
    case 5: {
      std::vector<uint8_t> bytes = in.Bytes(in.Byte() & 63);
      rig.modem.RemoteSend(std::string(bytes.begin(), bytes.end()));
      break;
    }
    case 6: rig.modem.SetConnectRate(in.U32()); break;
    default: {  // a literal 0xFF typed
      uint8_t ff = 0xFF;
      rig.modem.OnBulkOut(&ff, 1);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Rig rig;
  uint8_t flags = in.Byte();
  rig.modem.SetFarEnd(FarEndFrom(flags));
  if (flags & 1) rig.modem.OnSetDtr(true);
  while (!in.Empty()) {
    uint8_t b = in.Byte();
    if (b == 0xFF) {
      Act(rig, in);
    } else {
      rig.modem.OnBulkOut(&b, 1);
      // Typed bytes come a few milliseconds apart, as over the bus.
      rig.Advance(1);
    }
    rig.Drain();
    // Sanity of what the model reports about itself.
    int s0 = rig.modem.SRegister(0);
    if (s0 < 0 || s0 > 255) fuzz::Fail("S0 out of range");
  }
  rig.Advance(120000);  // every call, dial and time-out runs to its end
  rig.Drain();
  return 0;
}
