#include "sim/modem/hayes_modem.h"

#include <algorithm>

#include "sim/kernel/sim.h"

namespace sim {
namespace modem {

HayesModem::HayesModem(Clock clock) : clock_(clock ? clock : Clock([] { return sim::NowMs(); })) {
  active_ = stored_[powerUpProfile_];
}

void HayesModem::Emit(const std::string &bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

void HayesModem::Say(Result result) { Emit(FormatResult(result, rate_, active_)); }

void HayesModem::Inform(const std::vector<std::string> &lines) { Emit(FormatInformation(lines, active_)); }

size_t HayesModem::TakeIn(uint8_t *buffer, size_t maximum) {
  size_t n = std::min(maximum, out_.size());
  std::copy(out_.begin(), out_.begin() + n, buffer);
  out_.erase(out_.begin(), out_.begin() + n);
  return n;
}

void HayesModem::OnBulkOut(const uint8_t *data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    switch (state_) {
      case State::Dialing:
      case State::Answering:
        if (Now() >= ignoreUntilMs_) Abort();
        break;
      case State::Online:
        DataByte(data[i]);
        break;
      default:
        CommandByte(data[i]);
        break;
    }
  }
}

// Only the falling edge acts, as &D says: &D1 leaves data mode keeping the
// call, &D2 hangs up, &D3 hangs up and resets to the power-up profile.
void HayesModem::OnSetDtr(bool on) {
  bool falling = dtr_ && !on;
  dtr_ = on;
  if (!falling) return;
  switch (active_.dtrMode) {
    case 1:
      if (state_ == State::Online) {
        deadlines_.Clear(Timer::Escape);
        state_ = State::OnlineCommand;
        Say(Result::Ok);
      }
      break;
    case 2:
    case 3: {
      bool announce = CallActive();
      bool reset = active_.dtrMode == 3;
      EndCall();
      if (announce) Say(Result::NoCarrier);
      if (reset) {
        active_ = stored_[powerUpProfile_];
        assembler_.Reset();
      }
      break;
    }
    default:
      break;
  }
}

uint8_t HayesModem::StatusByte() const {
  bool carrierDetect = active_.carrierMode == 0 || carrier_;
  return uint8_t((dtr_ ? usb::STATUS_READY : 0) | (carrierDetect ? usb::STATUS_CARRIER : 0));
}

void HayesModem::OnWake() { OnTimers(); }

void HayesModem::SetFarEnd(const FarEnd &far) {
  Change([&] { directory_.SetDefault(far); });
}

void HayesModem::SetFarEnd(const std::string &number, const FarEnd &far) {
  Change([&] { directory_.Set(number, far); });
}

void HayesModem::SetConnectRate(uint32_t rate) {
  Change([&] { rate_ = rate; });
}

void HayesModem::Ring(const Caller &caller) {
  Change([&] {
    ringing_ = true;
    caller_ = caller;
    ringsGiven_ = 0;
    RingOnce();
  });
}

void HayesModem::RemoteSend(const std::string &bytes) {
  Change([&] {
    if (state_ == State::Online && carrier_) Emit(bytes);
  });
}

void HayesModem::RemoteHangUp() {
  Change([&] {
    if (carrier_) CarrierLost();
  });
}

bool HayesModem::Connected() const {
  bool value = false;
  const_cast<HayesModem *>(this)->Change(
      [&] { value = state_ == State::Online || state_ == State::OnlineCommand; });
  return value;
}

bool HayesModem::InDataMode() const {
  bool value = false;
  const_cast<HayesModem *>(this)->Change([&] { value = state_ == State::Online; });
  return value;
}

bool HayesModem::OffHook() const {
  bool value = false;
  const_cast<HayesModem *>(this)->Change([&] { value = state_ != State::Idle; });
  return value;
}

int HayesModem::SRegister(int n) const {
  int value = -1;
  const_cast<HayesModem *>(this)->Change([&] { value = SRegisters::Exists(n) ? active_.s.Get(n) : -1; });
  return value;
}

std::vector<std::string> HayesModem::CommandLines() const {
  std::vector<std::string> copy;
  const_cast<HayesModem *>(this)->Change([&] { copy = lines_; });
  return copy;
}

std::vector<std::string> HayesModem::DialedNumbers() const {
  std::vector<std::string> copy;
  const_cast<HayesModem *>(this)->Change([&] { copy = dialed_; });
  return copy;
}

std::string HayesModem::RemoteReceived() const {
  std::string copy;
  const_cast<HayesModem *>(this)->Change([&] { copy = remoteReceived_; });
  return copy;
}

}  // namespace modem
}  // namespace sim
