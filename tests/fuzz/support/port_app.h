// What an application does with COM7, for the fuzz targets (which include
// the kernel's headers and so cannot include <windows.h> themselves). Call
// from an application thread of the world. Every wait is bounded in virtual
// time: a request still pending after it is cancelled is a fault.
#pragma once

#include <cstdint>
#include <vector>

namespace fuzz {

struct Timeouts {
  uint32_t readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant;
};

class PortApp {
 public:
  PortApp();   // opens COM7 for overlapped I/O; Open() says whether it worked
  ~PortApp();  // closes it
  bool Open() const;
  bool SetTimeouts(const Timeouts &t);
  // Writes and reads, each waited for at most waitMs and then cancelled.
  // The count of bytes moved, or -1 when the request failed.
  long Write(const std::vector<uint8_t> &bytes, uint32_t waitMs);
  // A read's bytes, when `got` is given, are appended to it.
  long Read(uint32_t length, uint32_t waitMs, std::vector<uint8_t> *got = nullptr);
  bool Purge(uint32_t flags);

 private:
  long Finish(void *overlapped, bool started, uint32_t waitMs);
  void *handle_;
};

}  // namespace fuzz
