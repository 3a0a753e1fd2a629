// A Hayes-style modem behind the endpoints: AT commands in command mode,
// a dial that connects after a delay, data mode with a remote end that echoes,
// the "+++" escape with guard times, hang-up by ATH or by dropping DTR.
// Host only.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/usb/model.h"

namespace sim {
namespace usb {

class HayesModem : public Model {
 public:
  explicit HayesModem(uint32_t dialDelayMs = 2000, uint32_t guardTimeMs = 1000);

  // Test-facing (taken under the device's lock when plugged in).
  void RemoteSend(const std::string &bytes);   // the far end sends, in data mode
  void SetRemoteEcho(bool on);                 // the far end echoes what it gets (default on)
  bool Connected() const;
  bool InDataMode() const;
  std::vector<std::string> CommandLines() const;  // every command line executed, in order
  std::string RemoteReceived() const;          // what reached the far end

  void OnBulkOut(const uint8_t *data, size_t length) override;
  size_t PendingIn() const override { return in_.size(); }
  size_t TakeIn(uint8_t *buffer, size_t maximum) override;
  void OnSetDtr(bool on) override;
  uint8_t StatusByte() const override;
  uint64_t NextWakeMs() const override;
  void OnWake() override;

 private:
  enum class Mode { Command, Dialing, Data };
  void CommandByte(uint8_t byte);
  void DataByte(uint8_t byte);
  void ExecuteLine(const std::string &line);
  bool ExecuteCommands(const std::string &commands);  // false: ERROR
  void Respond(const std::string &text);
  void HangUp(bool announce);
  void Emit(const std::string &bytes);

  uint32_t dialDelayMs_;
  uint32_t guardTimeMs_;
  std::deque<uint8_t> in_;
  Mode mode_ = Mode::Command;
  bool connected_ = false;
  bool echo_ = true;
  bool dtr_ = false;
  bool remoteEcho_ = true;
  std::string line_;
  std::vector<std::string> lines_;
  std::string remoteReceived_;
  uint64_t dialDoneMs_ = 0;
  uint64_t lastDataMs_ = 0;     // last byte seen in data mode
  int plusCount_ = 0;
  uint64_t escapeAtMs_ = 0;     // the escape takes effect at this time unless data follows
};

}  // namespace usb
}  // namespace sim
