// Command mode: echo, the command line, and each command.
#include <cstdio>

#include "sim/modem/hayes_modem.h"
#include "sim/modem/identification.h"

namespace sim {
namespace modem {

void HayesModem::CommandByte(uint8_t byte) {
  if (active_.echo) out_.push_back(byte);
  switch (assembler_.Feed(byte, active_.s)) {
    case LineAssembler::Event::Line:
      ExecuteLine(assembler_.Body(), assembler_.Overflowed());
      break;
    case LineAssembler::Event::Repeat:
      ExecuteLine(lastLine_, false);
      break;
    case LineAssembler::Event::None:
      break;
  }
}

// Commands run in order; the first that fails answers ERROR and the rest of
// the line is not run. A line without failures answers OK unless one of its
// commands gives a result of its own (D, A, O, Z).
void HayesModem::ExecuteLine(const std::string &body, bool overflowed) {
  lastLine_ = body;
  CommandCursor cursor(body);
  lines_.push_back("AT" + cursor.Text());
  if (overflowed) {
    Say(Result::Error);
    return;
  }
  Command command;
  while (cursor.Next(&command)) {
    switch (Execute(command)) {
      case Outcome::Next: continue;
      case Outcome::Error: Say(Result::Error); return;
      case Outcome::Done: return;
    }
  }
  Say(cursor.Malformed() ? Result::Error : Result::Ok);
}

HayesModem::Outcome HayesModem::Execute(const Command &command) {
  if (command.prefix == '&') return ExecuteExtended(command);
  if (command.letter == 'S' || command.letter == '?' || command.letter == '=') return ExecuteRegister(command);
  return ExecuteBasic(command);
}

// The settings that take a small number: E0/1, V0/1, Q0/1, X0-4, M0-3, L0-3.
static bool SetSmall(int *field, const Command &command, int maximum) {
  if (command.number > maximum) return false;
  *field = command.number;
  return true;
}

static bool SetFlag(bool *field, const Command &command) {
  if (command.number > 1) return false;
  *field = command.number == 1;
  return true;
}

HayesModem::Outcome HayesModem::ExecuteBasic(const Command &command) {
  bool ok = true;
  switch (command.letter) {
    case 'E': ok = SetFlag(&active_.echo, command); break;
    case 'V': ok = SetFlag(&active_.verbose, command); break;
    case 'Q': ok = SetFlag(&active_.quiet, command); break;
    case 'X': ok = SetSmall(&active_.resultLevel, command, 4); break;
    case 'M': ok = SetSmall(&active_.speaker, command, 3); break;
    case 'L': ok = SetSmall(&active_.volume, command, 3); break;
    case 'I': {
      std::vector<std::string> lines;
      ok = Identification(command.number, rate_, &lines);
      if (ok) Inform(lines);
      break;
    }
    case 'H': return ExecuteHangUp(command);
    case 'O': return ExecuteOnline(command);
    case 'Z': return ExecuteReset(command);
    case 'D': return ExecuteDial(command);
    case 'A':
      if (command.hasNumber) return Outcome::Error;
      return ExecuteAnswer();
    default: ok = false; break;
  }
  return ok ? Outcome::Next : Outcome::Error;
}

HayesModem::Outcome HayesModem::ExecuteExtended(const Command &command) {
  switch (command.letter) {
    case 'C':
      return SetSmall(&active_.carrierMode, command, 1) ? Outcome::Next : Outcome::Error;
    case 'D':
      return SetSmall(&active_.dtrMode, command, 3) ? Outcome::Next : Outcome::Error;
    case 'F':
      if (command.number != 0) return Outcome::Error;
      active_ = Profile();
      return Outcome::Next;
    case 'W':
      if (command.number > 1) return Outcome::Error;
      stored_[command.number] = active_;
      return Outcome::Next;
    case 'Y':
      if (command.number > 1) return Outcome::Error;
      powerUpProfile_ = command.number;
      return Outcome::Next;
    case 'V': {
      if (command.number != 0) return Outcome::Error;
      std::vector<std::string> lines = {"ACTIVE PROFILE:"};
      for (const std::string &line : active_.Describe()) lines.push_back(line);
      for (int n = 0; n < 2; ++n) {
        lines.push_back("");
        lines.push_back("STORED PROFILE " + std::to_string(n) + ":");
        for (const std::string &line : stored_[n].Describe()) lines.push_back(line);
      }
      lines.push_back("");
      lines.push_back("POWER-UP PROFILE: " + std::to_string(powerUpProfile_));
      Inform(lines);
      return Outcome::Next;
    }
    default:
      return Outcome::Error;
  }
}

// Sn? reads, Sn=v writes, Sn alone makes n the register that ? and =v name.
HayesModem::Outcome HayesModem::ExecuteRegister(const Command &command) {
  int n = command.letter == 'S' ? command.number : currentRegister_;
  if (!SRegisters::Exists(n)) return Outcome::Error;
  char op = command.letter == 'S' ? command.op : command.letter;
  if (op == '?') {
    char text[8];
    std::snprintf(text, sizeof(text), "%03d", active_.s.Get(n));
    Inform({text});
  } else if (op == '=') {
    if (!active_.s.Set(n, command.value)) return Outcome::Error;
  }
  currentRegister_ = n;
  return Outcome::Next;
}

// H0 hangs up whatever is going on; H1 takes the line off hook.
HayesModem::Outcome HayesModem::ExecuteHangUp(const Command &command) {
  if (command.number > 1) return Outcome::Error;
  if (command.number == 0) {
    EndCall();
  } else if (state_ == State::Idle) {
    state_ = State::OffHook;
    ringing_ = false;
    deadlines_.Clear(Timer::NextRing);
  }
  return Outcome::Next;
}

// O0 (and O1, which would retrain) goes back to data mode.
HayesModem::Outcome HayesModem::ExecuteOnline(const Command &command) {
  if (command.number > 1) return Outcome::Error;
  if (state_ != State::OnlineCommand || !carrier_) {
    Say(Result::NoCarrier);
    return Outcome::Done;
  }
  Say(Result::Connect);
  EnterDataMode();
  return Outcome::Done;
}

// Z0 and Z1 hang up and load that stored profile; the rest of the line is ignored.
HayesModem::Outcome HayesModem::ExecuteReset(const Command &command) {
  if (command.number > 1) return Outcome::Error;
  EndCall();
  active_ = stored_[command.number];
  currentRegister_ = 0;
  Say(Result::Ok);
  return Outcome::Done;
}

HayesModem::Outcome HayesModem::ExecuteDial(const Command &command) {
  bool fromOnHook = state_ == State::Idle;
  if (!fromOnHook && state_ != State::OffHook) return Outcome::Error;
  if (!dtr_ && active_.dtrMode != 0) return Outcome::Error;
  DialString dial;
  if (!ParseDialString(command.dial, false, &dial)) return Outcome::Error;
  StartDial(dial, fromOnHook);
  return Outcome::Done;
}

HayesModem::Outcome HayesModem::ExecuteAnswer() {
  if (state_ != State::Idle && state_ != State::OffHook) return Outcome::Error;
  if (!dtr_ && active_.dtrMode != 0) return Outcome::Error;
  StartAnswer();
  ignoreUntilMs_ = Now() + kIgnoreAfterCrMs;
  return Outcome::Done;
}

}  // namespace modem
}  // namespace sim
