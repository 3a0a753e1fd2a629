#include "sim/modem/s_registers.h"

namespace sim {
namespace modem {

namespace {

struct Register {
  int number;
  int factory;
  int minimum;
  int maximum;
};

// Factory values as on a Hayes Smartmodem; ranges as it accepts them.
const Register kRegisters[] = {
    {S_RINGS_TO_ANSWER, 0, 0, 255}, {S_RING_COUNT, 0, 0, 255},      {S_ESCAPE_CHAR, 43, 0, 255},
    {S_CR, 13, 0, 127},             {S_LF, 10, 0, 127},             {S_BACKSPACE, 8, 0, 127},
    {S_BLIND_DIAL_WAIT, 2, 2, 255}, {S_CARRIER_WAIT, 50, 1, 255},   {S_COMMA_PAUSE, 2, 0, 255},
    {S_CARRIER_LOSS_WAIT, 14, 1, 255}, {S_ESCAPE_GUARD, 50, 0, 255},
};

const Register *Find(int n) {
  for (const Register &r : kRegisters) {
    if (r.number == n) return &r;
  }
  return nullptr;
}

}  // namespace

SRegisters::SRegisters() {
  for (const Register &r : kRegisters) values_[r.number] = r.factory;
}

bool SRegisters::Exists(int n) { return Find(n) != nullptr; }

std::vector<int> SRegisters::Numbers() {
  std::vector<int> numbers;
  for (const Register &r : kRegisters) numbers.push_back(r.number);
  return numbers;
}

int SRegisters::Get(int n) const { return values_.at(n); }

bool SRegisters::Set(int n, int value) {
  const Register *r = Find(n);
  if (r == nullptr || value < r->minimum || value > r->maximum) return false;
  values_[n] = value;
  return true;
}

}  // namespace modem
}  // namespace sim
