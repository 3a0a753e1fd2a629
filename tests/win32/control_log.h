// Records the control codes the Win32 layer sends while it lives.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/win32/src/nt_bridge.h"

class ControlLog {
 public:
  ControlLog() {
    sim::win32::SetControlObserver([this](uint32_t code) { codes_.push_back(code); });
  }
  ~ControlLog() { sim::win32::SetControlObserver(nullptr); }
  std::vector<uint32_t> Take() {
    std::vector<uint32_t> codes;
    codes.swap(codes_);
    return codes;
  }

 private:
  std::vector<uint32_t> codes_;
};
