// Turning the bytes typed in command mode into command lines, and a command
// line into its commands. Host only.
#pragma once

#include <cstdint>
#include <string>

#include "sim/modem/s_registers.h"

namespace sim {
namespace modem {

// Waits for "AT" or "at" (whatever comes before is ignored), collects the
// line up to S3, lets S5 erase, and recognises "A/" (repeat the last line).
class LineAssembler {
 public:
  enum class Event { None, Line, Repeat };

  Event Feed(uint8_t byte, const SRegisters &s);
  // After Line: the text after "AT", and whether it was longer than a line may be.
  const std::string &Body() const { return body_; }
  bool Overflowed() const { return overflowed_; }
  void Reset();

  static constexpr size_t kMaximumLine = 255;

 private:
  enum class State { Waiting, GotA, InLine };
  State state_ = State::Waiting;
  char a_ = 0;  // the 'A' or 'a' that began the line
  std::string body_;
  bool overflowed_ = false;
};

// One command of a line.
struct Command {
  char prefix = 0;      // '&' for the extended commands, else 0
  char letter = 0;      // upper case; '?' and '=' for the current register
  bool hasNumber = false;
  int number = 0;       // the command's number (S: the register)
  char op = 0;          // S: '?', '=' or 0 (select the register)
  int value = 0;        // S and '=': the value
  std::string dial;     // D: the rest of the line
};

// Walks a line body: upper case, spaces ignored. D takes the rest of the line.
class CommandCursor {
 public:
  explicit CommandCursor(const std::string &body);
  // False at the end of the line or on a command that cannot be read.
  bool Next(Command *command);
  bool Malformed() const { return malformed_; }
  const std::string &Text() const { return text_; }

 private:
  bool ReadNumber(int *value);
  std::string text_;
  size_t at_ = 0;
  bool malformed_ = false;
};

}  // namespace modem
}  // namespace sim
