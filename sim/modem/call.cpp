// The telephone call: dialling step by step, the far end's answer or its
// failure, answering, the carrier and its loss, incoming rings.
#include <algorithm>

#include "sim/modem/hayes_modem.h"

namespace sim {
namespace modem {

bool HayesModem::CallActive() const {
  return state_ == State::Dialing || state_ == State::Answering || state_ == State::Online ||
         state_ == State::OnlineCommand;
}

// From on hook the dial waits for dial tone first; after a dial that ended
// with ';' the line is already off hook and the digits add to those dialled.
void HayesModem::StartDial(const DialString &dial, bool fromOnHook) {
  dial_ = dial;
  if (fromOnHook) {
    dialledSoFar_.clear();
    DialStep tone{DialStep::Kind::WaitDialTone};
    tone.initial = true;
    dial_.steps.insert(dial_.steps.begin(), tone);
  }
  dialledSoFar_ += dial.number;
  dialed_.push_back(dialledSoFar_);
  callee_ = directory_.Lookup(dialledSoFar_);
  state_ = State::Dialing;
  ringing_ = false;
  deadlines_.Clear(Timer::NextRing);
  ignoreUntilMs_ = Now() + kIgnoreAfterCrMs;
  step_ = 0;
  StartStep();
}

void HayesModem::StartStep() {
  if (step_ >= dial_.steps.size()) {
    if (dial_.commandAfter) {
      state_ = State::OffHook;
      Say(Result::Ok);
    } else {
      AwaitAnswer();
    }
    return;
  }
  const DialStep &step = dial_.steps[step_];
  uint64_t duration = 0;
  switch (step.kind) {
    case DialStep::Kind::Digits:
      duration = uint64_t(step.digits) * (step.pulse ? kPulseDigitMs : kToneDigitMs);
      break;
    case DialStep::Kind::Pause:
      duration = uint64_t(active_.s.Get(S_COMMA_PAUSE)) * 1000;
      break;
    case DialStep::Kind::WaitDialTone: {
      int level = active_.resultLevel;
      bool detects = level == 2 || level == 4 || !step.initial;
      if (!detects) {
        duration = uint64_t(active_.s.Get(S_BLIND_DIAL_WAIT)) * 1000;
      } else if (callee_.kind == FarEnd::Kind::NoDialtone) {
        stepFailed_ = true;
        duration = kDialToneTimeoutMs;
      } else {
        duration = kDialToneDetectMs;
      }
      break;
    }
  }
  deadlines_.Set(Timer::DialStep, Now() + duration);
}

void HayesModem::FinishStep() {
  if (stepFailed_) {
    FailCall(Result::NoDialtone);
    return;
  }
  ++step_;
  StartStep();
}

// S7 counts from the end of dialling. Busy is recognised from X3 on; below
// that the modem waits out S7 as for a number that does not answer.
void HayesModem::AwaitAnswer() {
  uint64_t now = Now();
  uint64_t carrierWait = uint64_t(active_.s.Get(S_CARRIER_WAIT)) * 1000;
  switch (callee_.kind) {
    case FarEnd::Kind::Answers:
      if (callee_.answerAfterMs < carrierWait) {
        connection_ = callee_.connection;
        deadlines_.Set(Timer::Connect, now + callee_.answerAfterMs);
        return;
      }
      failure_ = Result::NoAnswer;
      break;
    case FarEnd::Kind::Busy:
      failure_ = Result::Busy;
      if (active_.resultLevel >= 3) carrierWait = kBusyDetectMs;
      break;
    case FarEnd::Kind::NeverAnswers:
      failure_ = Result::NoAnswer;
      break;
    case FarEnd::Kind::NoDialtone:
      failure_ = Result::NoCarrier;
      break;
  }
  deadlines_.Set(Timer::CallFails, now + carrierWait);
}

// Answering with no call coming in waits S7 for a carrier that never comes.
void HayesModem::StartAnswer() {
  state_ = State::Answering;
  deadlines_.Clear(Timer::NextRing);
  if (ringing_) {
    ringing_ = false;
    connection_ = caller_.connection;
    deadlines_.Set(Timer::Connect, Now() + caller_.handshakeMs);
  } else {
    failure_ = Result::NoCarrier;
    deadlines_.Set(Timer::CallFails, Now() + uint64_t(active_.s.Get(S_CARRIER_WAIT)) * 1000);
  }
}

void HayesModem::Connect() {
  deadlines_.Clear(Timer::Connect);
  deadlines_.Clear(Timer::RingCountReset);
  active_.s.Set(S_RING_COUNT, 0);
  carrier_ = true;
  Say(Result::Connect);
  EnterDataMode();
  Emit(connection_.greeting);
  if (connection_.hangUpAfterMs != 0) deadlines_.Set(Timer::RemoteHangUp, Now() + connection_.hangUpAfterMs);
}

// The carrier goes at once (carrier detect follows it under &C1); the modem
// hangs up when it has not come back within S10.
void HayesModem::CarrierLost() {
  carrier_ = false;
  deadlines_.Clear(Timer::RemoteHangUp);
  deadlines_.Set(Timer::CarrierLoss, Now() + uint64_t(active_.s.Get(S_CARRIER_LOSS_WAIT)) * 100);
}

void HayesModem::EndCall() {
  state_ = State::Idle;
  carrier_ = false;
  for (Timer t : {Timer::DialStep, Timer::Connect, Timer::CallFails, Timer::RemoteHangUp, Timer::CarrierLoss,
                  Timer::Escape}) {
    deadlines_.Clear(t);
  }
  escape_.Cancel();
  stepFailed_ = false;
  dialledSoFar_.clear();
}

void HayesModem::FailCall(Result result) {
  EndCall();
  Say(result);
}

void HayesModem::Abort() { FailCall(Result::NoCarrier); }

// A ring reaches a modem on hook; one off hook or in a call gives the caller
// a busy tone, and the call goes away. S0 rings (counted in S1) answer by
// themselves unless DTR is off under &D1-&D3.
void HayesModem::RingOnce() {
  if (!ringing_) return;
  if ((caller_.rings != 0 && ringsGiven_ >= caller_.rings) || state_ != State::Idle) {
    ringing_ = false;
    deadlines_.Clear(Timer::NextRing);
    return;
  }
  ++ringsGiven_;
  int count = std::min(255, active_.s.Get(S_RING_COUNT) + 1);
  active_.s.Set(S_RING_COUNT, count);
  Say(Result::Ring);
  uint64_t now = Now();
  deadlines_.Set(Timer::NextRing, now + kRingPeriodMs);
  deadlines_.Set(Timer::RingCountReset, now + kRingCountResetMs);
  int answerAt = active_.s.Get(S_RINGS_TO_ANSWER);
  if (answerAt > 0 && count >= answerAt && (dtr_ || active_.dtrMode == 0)) StartAnswer();
}

void HayesModem::OnTimers() {
  for (;;) {
    uint64_t now = Now();
    if (deadlines_.Due(Timer::DialStep, now)) {
      deadlines_.Clear(Timer::DialStep);
      FinishStep();
    } else if (deadlines_.Due(Timer::Connect, now)) {
      Connect();
    } else if (deadlines_.Due(Timer::CallFails, now)) {
      deadlines_.Clear(Timer::CallFails);
      FailCall(failure_);
    } else if (deadlines_.Due(Timer::RemoteHangUp, now)) {
      CarrierLost();
    } else if (deadlines_.Due(Timer::CarrierLoss, now)) {
      FailCall(Result::NoCarrier);
    } else if (deadlines_.Due(Timer::Escape, now)) {
      deadlines_.Clear(Timer::Escape);
      escape_.Cancel();
      state_ = State::OnlineCommand;
      Say(Result::Ok);
    } else if (deadlines_.Due(Timer::NextRing, now)) {
      deadlines_.Clear(Timer::NextRing);
      RingOnce();
    } else if (deadlines_.Due(Timer::RingCountReset, now)) {
      deadlines_.Clear(Timer::RingCountReset);
      active_.s.Set(S_RING_COUNT, 0);
    } else {
      return;
    }
  }
}

}  // namespace modem
}  // namespace sim
