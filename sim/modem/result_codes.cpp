#include "sim/modem/result_codes.h"

namespace sim {
namespace modem {

namespace {

struct RateCode {
  uint32_t rate;
  int code;
};

const RateCode kRateCodes[] = {
    {1200, 5},   {2400, 10},  {4800, 11},  {9600, 12},  {7200, 13},  {12000, 14},
    {14400, 15}, {19200, 16}, {38400, 17}, {57600, 18}, {115200, 19}, {230400, 20},
};

// The result after the X level's filter: codes the modem does not detect at
// this level come out as NO CARRIER.
Result Reported(Result result, int level) {
  if (result == Result::NoDialtone && level != 2 && level != 4) return Result::NoCarrier;
  if ((result == Result::Busy || result == Result::NoAnswer) && level < 3) return Result::NoCarrier;
  return result;
}

const char *Words(Result result) {
  switch (result) {
    case Result::Ok: return "OK";
    case Result::Connect: return "CONNECT";
    case Result::Ring: return "RING";
    case Result::NoCarrier: return "NO CARRIER";
    case Result::Error: return "ERROR";
    case Result::NoDialtone: return "NO DIALTONE";
    case Result::Busy: return "BUSY";
    case Result::NoAnswer: return "NO ANSWER";
  }
  return "ERROR";
}

std::string Ending(const Profile &profile) {
  return std::string(1, char(profile.s.Get(S_CR))) + std::string(1, char(profile.s.Get(S_LF)));
}

}  // namespace

int ConnectCode(uint32_t rate) {
  for (const RateCode &r : kRateCodes) {
    if (r.rate == rate) return r.code;
  }
  return 1;
}

std::string FormatResult(Result result, uint32_t rate, const Profile &profile) {
  if (profile.quiet) return "";
  result = Reported(result, profile.resultLevel);
  bool withRate = result == Result::Connect && profile.resultLevel >= 1;
  char cr = char(profile.s.Get(S_CR));
  if (!profile.verbose) {
    int code = withRate ? ConnectCode(rate) : int(result);
    return std::to_string(code) + cr;
  }
  std::string words = Words(result);
  if (withRate) words += " " + std::to_string(rate);
  return Ending(profile) + words + Ending(profile);
}

std::string FormatInformation(const std::vector<std::string> &lines, const Profile &profile) {
  std::string text;
  if (profile.verbose) text += Ending(profile);
  for (const std::string &line : lines) text += line + Ending(profile);
  return text;
}

}  // namespace modem
}  // namespace sim
