// Data mode: what the host sends goes to the far end, watched for the escape.
#include "sim/modem/hayes_modem.h"

namespace sim {
namespace modem {

void HayesModem::EnterDataMode() {
  state_ = State::Online;
  deadlines_.Clear(Timer::Escape);
  escape_.Start(Now());
}

// The escape characters travel to the far end like any other byte.
void HayesModem::DataByte(uint8_t byte) {
  uint64_t now = Now();
  if (carrier_) {
    remoteReceived_.push_back(char(byte));
    if (connection_.echo) out_.push_back(byte);
  }
  uint64_t guardMs = uint64_t(active_.s.Get(S_ESCAPE_GUARD)) * 20;
  uint64_t due = escape_.Byte(byte, now, active_.s.Get(S_ESCAPE_CHAR), guardMs);
  deadlines_.Clear(Timer::Escape);
  if (due == 0) return;
  if (due > now) {
    deadlines_.Set(Timer::Escape, due);
    return;
  }
  escape_.Cancel();
  state_ = State::OnlineCommand;
  Say(Result::Ok);
}

}  // namespace modem
}  // namespace sim
