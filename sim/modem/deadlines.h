// The moments at which the modem must act by itself, one per kind. Host only.
#pragma once

#include <cstdint>

namespace sim {
namespace modem {

enum class Timer {
  DialStep,        // the current step of a dial ends
  Connect,         // the far end answers, or our answer's handshake ends
  CallFails,       // the call ends with its failure result
  RemoteHangUp,    // the far end hangs up
  CarrierLoss,     // S10 after the carrier went: the modem hangs up
  Escape,          // the guard time after "+++" has passed
  NextRing,        // the incoming call rings again (or gives up)
  RingCountReset,  // 8 s without a ring: S1 goes back to 0
  Count
};

class Deadlines {
 public:
  void Set(Timer t, uint64_t atMs) {
    at_[int(t)] = atMs;
    armed_[int(t)] = true;
  }
  void Clear(Timer t) { armed_[int(t)] = false; }
  bool Armed(Timer t) const { return armed_[int(t)]; }
  bool Due(Timer t, uint64_t nowMs) const { return armed_[int(t)] && at_[int(t)] <= nowMs; }
  // The earliest armed deadline; 0 for none (a deadline at 0 counts as 1).
  uint64_t Earliest() const {
    uint64_t earliest = 0;
    for (int i = 0; i < int(Timer::Count); ++i) {
      uint64_t at = at_[i] == 0 ? 1 : at_[i];
      if (armed_[i] && (earliest == 0 || at < earliest)) earliest = at;
    }
    return earliest;
  }

 private:
  uint64_t at_[int(Timer::Count)] = {};
  bool armed_[int(Timer::Count)] = {};
};

}  // namespace modem
}  // namespace sim
