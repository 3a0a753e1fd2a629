// The Hayes modem model on its own, with a clock the test steps: bytes typed
// go straight to OnBulkOut, what it says comes from TakeIn, and time moves
// from one of its wake-ups to the next.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/modem/hayes_modem.h"

namespace modemtest {

using sim::modem::HayesModem;

struct Rig {
  uint64_t now = 1000;
  HayesModem modem{[this] { return now; }};

  explicit Rig(bool dtr = true) {
    if (dtr) modem.OnSetDtr(true);
  }

  void Type(const std::string &bytes) {
    modem.OnBulkOut(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  std::string Take() {
    std::string out;
    uint8_t buffer[64];
    while (size_t n = modem.TakeIn(buffer, sizeof(buffer))) out.append(buffer, buffer + n);
    return out;
  }
  // Types a command line and returns what the modem answers at once.
  std::string Command(const std::string &line) {
    Type(line + "\r");
    return Take();
  }
  // Lets ms pass, running every wake-up that falls due on the way.
  void Advance(uint64_t ms) {
    uint64_t end = now + ms;
    for (int guard = 0;; ++guard) {
      uint64_t wake = modem.NextWakeMs();
      if (wake == 0 || wake > end) break;
      if (guard > 10000) {
        ADD_FAILURE() << "the modem keeps asking to be woken at " << wake;
        break;
      }
      if (wake > now) now = wake;
      modem.OnWake();
    }
    now = end;
  }
  // Runs wake-ups until the modem has said `token` (at most limitMs).
  // Returns everything it said; *elapsed is when the token came.
  std::string Await(const std::string &token, uint64_t limitMs, uint64_t *elapsed = nullptr) {
    uint64_t start = now;
    std::string seen = Take();
    while (seen.find(token) == std::string::npos) {
      uint64_t wake = modem.NextWakeMs();
      if (wake == 0 || wake > start + limitMs) {
        now = start + limitMs;
        ADD_FAILURE() << "no \"" << token << "\" within " << limitMs << " ms; saw \"" << seen << "\"";
        return seen;
      }
      if (wake > now) now = wake;
      modem.OnWake();
      seen += Take();
    }
    if (elapsed != nullptr) *elapsed = now - start;
    return seen;
  }
  // Quiet (E0, verbose codes) and connected in data mode to the default far end.
  void Connect(const std::string &init = "ATE0") {
    EXPECT_NE(std::string::npos, Command(init).find("\r\nOK\r\n"));
    Command("ATD1");
    EXPECT_EQ("\r\nCONNECT 115200\r\n", Await("CONNECT", 60000));
    Advance(2000);  // guard time before any escape
  }
};

}  // namespace modemtest
