// The fuzz input read front to back; every read is bounded by what is left,
// and reads past the end give zeros, so a target never looks outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return used_ >= size_; }
  size_t Left() const { return size_ - used_; }

  uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
  uint16_t U16() { return uint16_t(Byte() | Byte() << 8); }
  uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
  // Up to n bytes, fewer at the end of the input.
  std::vector<uint8_t> Bytes(size_t n) {
    if (n > Left()) n = Left();
    std::vector<uint8_t> out(data_ + used_, data_ + used_ + n);
    used_ += n;
    return out;
  }
  std::vector<uint8_t> Rest() { return Bytes(Left()); }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t used_ = 0;
};

}  // namespace fuzz
