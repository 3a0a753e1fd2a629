#include "sim/usb/hayes_modem.h"

#include <algorithm>
#include <cctype>

#include "sim/kernel/sim.h"

namespace sim {
namespace usb {

static const char kConnect[] = "CONNECT 115200";

HayesModem::HayesModem(uint32_t dialDelayMs, uint32_t guardTimeMs)
    : dialDelayMs_(dialDelayMs), guardTimeMs_(guardTimeMs) {}

void HayesModem::Emit(const std::string &bytes) { in_.insert(in_.end(), bytes.begin(), bytes.end()); }

void HayesModem::Respond(const std::string &text) { Emit("\r\n" + text + "\r\n"); }

size_t HayesModem::TakeIn(uint8_t *buffer, size_t maximum) {
  size_t n = std::min(maximum, in_.size());
  std::copy(in_.begin(), in_.begin() + n, buffer);
  in_.erase(in_.begin(), in_.begin() + n);
  return n;
}

void HayesModem::OnBulkOut(const uint8_t *data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    switch (mode_) {
      case Mode::Command: CommandByte(data[i]); break;
      case Mode::Data: DataByte(data[i]); break;
      case Mode::Dialing: HangUp(true); break;  // any key aborts the dial
    }
  }
}

void HayesModem::CommandByte(uint8_t byte) {
  if (byte == '\n') return;
  if (echo_) Emit(std::string(1, char(byte)));
  if (byte == '\r') {
    std::string line = line_;
    line_.clear();
    ExecuteLine(line);
  } else if (byte == 0x08) {
    if (!line_.empty()) line_.pop_back();
  } else if (line_.size() < 80) {
    line_.push_back(char(byte));
  }
}

// "+++" counts only after a guard time of silence and with each '+' within a
// guard time of the previous one; the escape takes effect after a further
// guard time without data. The '+' characters still travel to the far end.
void HayesModem::DataByte(uint8_t byte) {
  uint64_t now = NowMs();
  bool quietBefore = now - lastDataMs_ >= guardTimeMs_;
  if (byte == '+' && ((plusCount_ == 0 && quietBefore) || (plusCount_ > 0 && plusCount_ < 3 && !quietBefore))) {
    ++plusCount_;
    escapeAtMs_ = plusCount_ == 3 ? now + guardTimeMs_ : 0;
  } else {
    plusCount_ = 0;
    escapeAtMs_ = 0;
  }
  lastDataMs_ = now;
  remoteReceived_.push_back(char(byte));
  if (remoteEcho_) in_.push_back(byte);
}

void HayesModem::ExecuteLine(const std::string &line) {
  std::string upper;
  for (char c : line) {
    if (c != ' ') upper.push_back(char(std::toupper(static_cast<unsigned char>(c))));
  }
  if (upper.size() < 2 || upper.compare(0, 2, "AT") != 0) {
    if (!upper.empty()) Respond("ERROR");
    return;
  }
  lines_.push_back(upper);
  if (!ExecuteCommands(upper.substr(2))) Respond("ERROR");
}

bool HayesModem::ExecuteCommands(const std::string &commands) {
  size_t at = 0;
  while (at < commands.size()) {
    char command = commands[at++];
    int argument = 0;
    while (at < commands.size() && std::isdigit(static_cast<unsigned char>(commands[at])) && command != 'D') {
      argument = argument * 10 + (commands[at++] - '0');
    }
    switch (command) {
      case 'Z':
        HangUp(false);
        echo_ = true;
        break;
      case 'E':
        if (argument > 1) return false;
        echo_ = argument == 1;
        break;
      case 'H':
        if (argument != 0) return false;
        HangUp(false);
        break;
      case 'D':
        if (!dtr_) return false;
        mode_ = Mode::Dialing;
        dialDoneMs_ = NowMs() + dialDelayMs_;
        return true;  // the rest of the line is the number; the answer comes later
      case 'O':
        if (!connected_) {
          Respond("NO CARRIER");
          return true;
        }
        Respond(kConnect);
        mode_ = Mode::Data;
        lastDataMs_ = NowMs();
        return true;
      default:
        return false;
    }
  }
  Respond("OK");
  return true;
}

void HayesModem::HangUp(bool announce) {
  bool wasActive = connected_ || mode_ == Mode::Dialing;
  connected_ = false;
  mode_ = Mode::Command;
  plusCount_ = 0;
  escapeAtMs_ = 0;
  dialDoneMs_ = 0;
  if (announce && wasActive) Respond("NO CARRIER");
}

void HayesModem::OnSetDtr(bool on) {
  if (dtr_ && !on) HangUp(true);
  dtr_ = on;
}

uint8_t HayesModem::StatusByte() const {
  return uint8_t((dtr_ ? STATUS_READY : 0) | (connected_ ? STATUS_CARRIER : 0));
}

uint64_t HayesModem::NextWakeMs() const {
  if (mode_ == Mode::Dialing) return dialDoneMs_;
  if (mode_ == Mode::Data && escapeAtMs_ != 0) return escapeAtMs_;
  return 0;
}

void HayesModem::OnWake() {
  uint64_t now = NowMs();
  if (mode_ == Mode::Dialing && now >= dialDoneMs_) {
    connected_ = true;
    mode_ = Mode::Data;
    lastDataMs_ = now;
    Respond(kConnect);
  } else if (mode_ == Mode::Data && escapeAtMs_ != 0 && now >= escapeAtMs_) {
    mode_ = Mode::Command;
    plusCount_ = 0;
    escapeAtMs_ = 0;
    Respond("OK");
  }
}

void HayesModem::RemoteSend(const std::string &bytes) {
  Change([&] {
    if (mode_ == Mode::Data) Emit(bytes);
  });
}

void HayesModem::SetRemoteEcho(bool on) {
  Change([&] { remoteEcho_ = on; });
}

bool HayesModem::Connected() const {
  bool value = false;
  const_cast<HayesModem *>(this)->Change([&] { value = connected_; });
  return value;
}

bool HayesModem::InDataMode() const {
  bool value = false;
  const_cast<HayesModem *>(this)->Change([&] { value = mode_ == Mode::Data; });
  return value;
}

std::vector<std::string> HayesModem::CommandLines() const {
  std::vector<std::string> copy;
  const_cast<HayesModem *>(this)->Change([&] { copy = lines_; });
  return copy;
}

std::string HayesModem::RemoteReceived() const {
  std::string copy;
  const_cast<HayesModem *>(this)->Change([&] { copy = remoteReceived_; });
  return copy;
}

}  // namespace usb
}  // namespace sim
