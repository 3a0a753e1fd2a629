#include "sim/modem/command_line.h"

#include <cctype>

namespace sim {
namespace modem {

void LineAssembler::Reset() {
  state_ = State::Waiting;
  body_.clear();
  overflowed_ = false;
}

LineAssembler::Event LineAssembler::Feed(uint8_t byte, const SRegisters &s) {
  char c = char(byte);
  bool erase = byte == s.Get(S_BACKSPACE);
  switch (state_) {
    case State::Waiting:
      if (c == 'A' || c == 'a') {
        state_ = State::GotA;
        a_ = c;
      }
      return Event::None;
    case State::GotA:
      if (erase) {
        state_ = State::Waiting;
      } else if (c == '/') {
        state_ = State::Waiting;
        return Event::Repeat;
      } else if ((a_ == 'A' && c == 'T') || (a_ == 'a' && c == 't')) {
        state_ = State::InLine;
        body_.clear();
        overflowed_ = false;
      } else if (c == 'A' || c == 'a') {
        a_ = c;
      } else {
        state_ = State::Waiting;
      }
      return Event::None;
    case State::InLine:
      if (byte == s.Get(S_CR)) {
        state_ = State::Waiting;
        return Event::Line;
      }
      if (erase) {
        if (body_.empty()) {
          state_ = State::GotA;  // the T is erased
        } else {
          body_.pop_back();
        }
      } else if (body_.size() < kMaximumLine) {
        body_.push_back(c);
      } else {
        overflowed_ = true;
      }
      return Event::None;
  }
  return Event::None;
}

CommandCursor::CommandCursor(const std::string &body) {
  for (char c : body) {
    if (c != ' ') text_.push_back(char(std::toupper(static_cast<unsigned char>(c))));
  }
}

bool CommandCursor::ReadNumber(int *value) {
  bool any = false;
  *value = 0;
  while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
    if (*value < 100000) *value = *value * 10 + (text_[at_] - '0');
    ++at_;
    any = true;
  }
  return any;
}

bool CommandCursor::Next(Command *command) {
  *command = Command();
  if (at_ >= text_.size()) return false;
  char c = text_[at_++];
  if (c == '&') {
    if (at_ >= text_.size() || !std::isalpha(static_cast<unsigned char>(text_[at_]))) {
      malformed_ = true;
      return false;
    }
    command->prefix = '&';
    c = text_[at_++];
  }
  command->letter = c;
  if (command->prefix == 0 && c == 'D') {
    command->dial = text_.substr(at_);
    at_ = text_.size();
    return true;
  }
  if (command->prefix == 0 && c == 'S') {
    if (!ReadNumber(&command->number)) {
      malformed_ = true;
      return false;
    }
    command->hasNumber = true;
    if (at_ < text_.size() && (text_[at_] == '?' || text_[at_] == '=')) {
      command->op = text_[at_++];
      if (command->op == '=') ReadNumber(&command->value);  // "S7=" sets 0
    }
    return true;
  }
  if (command->prefix == 0 && c == '=') {
    ReadNumber(&command->value);
    return true;
  }
  command->hasNumber = ReadNumber(&command->number);
  return true;
}

}  // namespace modem
}  // namespace sim
