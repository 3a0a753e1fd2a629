// A Hayes-compatible modem behind the USB endpoints: AT command lines, result
// codes, S-registers and stored profiles, a telephone line whose far end the
// test scripts (numbers that answer, are busy, never answer, give no dial
// tone, hang up later; incoming calls), data mode with the "+++" escape, and
// DTR as &D says. sim/modem/README.md is its reference. Host only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/modem/command_line.h"
#include "sim/modem/deadlines.h"
#include "sim/modem/dial_string.h"
#include "sim/modem/escape.h"
#include "sim/modem/far_end.h"
#include "sim/modem/profile.h"
#include "sim/modem/result_codes.h"
#include "sim/usb/model.h"

namespace sim {
namespace modem {

class HayesModem : public usb::Model {
 public:
  using Clock = std::function<uint64_t()>;
  // The clock is sim::NowMs unless a test gives one of its own.
  explicit HayesModem(Clock clock = Clock());

  // Test-facing; each is taken under the device's lock when plugged in.
  void SetFarEnd(const FarEnd &far);                              // every number without its own
  void SetFarEnd(const std::string &number, const FarEnd &far);  // number: its dialled digits
  void SetConnectRate(uint32_t rate);                             // 115200 by default
  void Ring(const Caller &caller);   // a call comes in: RING now and every 6 s
  void RemoteSend(const std::string &bytes);  // the far end sends (reaches the host in data mode)
  void RemoteHangUp();                        // the far end hangs up now
  bool Connected() const;            // a connection is up (data or online command mode)
  bool InDataMode() const;
  bool OffHook() const;
  int SRegister(int n) const;
  std::vector<std::string> CommandLines() const;   // every line executed: "AT" and its commands, upper case
  std::vector<std::string> DialedNumbers() const;  // every number dialled, digits only
  std::string RemoteReceived() const;              // what reached the far end

  // Model.
  void OnBulkOut(const uint8_t *data, size_t length) override;
  size_t PendingIn() const override { return out_.size(); }
  size_t TakeIn(uint8_t *buffer, size_t maximum) override;
  void OnSetDtr(bool on) override;
  uint8_t StatusByte() const override;
  uint64_t NextWakeMs() const override { return deadlines_.Earliest(); }
  void OnWake() override;

  // Characters typed this soon after the CR that starts a dial or an answer
  // are ignored; later ones abort it.
  static constexpr uint64_t kIgnoreAfterCrMs = 125;
  static constexpr uint64_t kDialToneDetectMs = 1000;   // dial tone heard
  static constexpr uint64_t kDialToneTimeoutMs = 5000;  // no dial tone: NO DIALTONE
  static constexpr uint64_t kToneDigitMs = 100;
  static constexpr uint64_t kPulseDigitMs = 1000;
  static constexpr uint64_t kBusyDetectMs = 1000;       // busy tone recognised after dialling
  static constexpr uint64_t kRingPeriodMs = 6000;
  static constexpr uint64_t kRingCountResetMs = 8000;

 private:
  enum class State {
    Idle,           // on hook, command mode
    OffHook,        // off hook without a call (H1, or dialled with ';')
    Dialing,        // a dial in progress
    Answering,      // ATA or auto-answer, until CONNECT
    Online,         // connected, data mode
    OnlineCommand,  // connected, command mode
  };

  uint64_t Now() const { return clock_(); }
  void Emit(const std::string &bytes);
  void Say(Result result);
  void Inform(const std::vector<std::string> &lines);

  // Command mode (commands.cpp).
  void CommandByte(uint8_t byte);
  void ExecuteLine(const std::string &body, bool overflowed);
  enum class Outcome { Next, Error, Done };  // Done: the command gave (or will give) the result
  Outcome Execute(const Command &command);
  Outcome ExecuteBasic(const Command &command);
  Outcome ExecuteExtended(const Command &command);
  Outcome ExecuteRegister(const Command &command);
  Outcome ExecuteHangUp(const Command &command);
  Outcome ExecuteOnline(const Command &command);
  Outcome ExecuteReset(const Command &command);
  Outcome ExecuteDial(const Command &command);
  Outcome ExecuteAnswer();

  // The call (call.cpp).
  void StartDial(const DialString &dial, bool fromOnHook);
  void StartStep();
  void FinishStep();
  void AwaitAnswer();
  void StartAnswer();
  void Connect();
  void CarrierLost();
  void EndCall();  // on hook, no result
  void FailCall(Result result);
  void Abort();
  bool CallActive() const;
  void RingOnce();
  void OnTimers();

  // Data mode (data_mode.cpp).
  void DataByte(uint8_t byte);
  void EnterDataMode();

  Clock clock_;
  Profile active_;
  Profile stored_[2];
  int powerUpProfile_ = 0;
  LineAssembler assembler_;
  std::string lastLine_;
  int currentRegister_ = 0;
  std::deque<uint8_t> out_;
  bool dtr_ = false;
  State state_ = State::Idle;
  bool carrier_ = false;
  uint64_t ignoreUntilMs_ = 0;
  Deadlines deadlines_;
  EscapeDetector escape_;

  // The call being dialled or answered, or up.
  DialString dial_;
  size_t step_ = 0;
  bool stepFailed_ = false;
  FarEnd callee_;
  Connection connection_;
  Result failure_ = Result::NoCarrier;
  std::string dialledSoFar_;  // digits dialled since going off hook

  // An incoming call.
  bool ringing_ = false;
  Caller caller_;
  uint32_t ringsGiven_ = 0;

  Directory directory_;
  uint32_t rate_ = 115200;

  std::vector<std::string> lines_;
  std::vector<std::string> dialed_;
  std::string remoteReceived_;
};

}  // namespace modem
}  // namespace sim
