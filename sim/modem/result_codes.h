// Result codes and how the modem words them: verbose or numeric (V), none
// at all (Q1), and which ones the X level reports. Host only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/modem/profile.h"

namespace sim {
namespace modem {

enum class Result {
  Ok = 0,
  Connect = 1,
  Ring = 2,
  NoCarrier = 3,
  Error = 4,
  NoDialtone = 6,
  Busy = 7,
  NoAnswer = 8,
};

// What the modem sends for a result: empty under Q1. A CONNECT carries the
// rate from X1 on; below X2 NO DIALTONE, below X3 BUSY and NO ANSWER are
// reported as NO CARRIER.
std::string FormatResult(Result result, uint32_t rate, const Profile &profile);
// The numeric form of CONNECT at this rate (X1 and above); 1 for a rate
// without a code of its own.
int ConnectCode(uint32_t rate);
// Information text (S-register values, I and &V answers): framed by CR LF in
// verbose form, followed by CR LF in numeric form; shown even under Q1.
std::string FormatInformation(const std::vector<std::string> &lines, const Profile &profile);

}  // namespace modem
}  // namespace sim
