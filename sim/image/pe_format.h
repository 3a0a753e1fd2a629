// The parts of the PE/COFF format that loading a kernel driver needs, as
// offsets into the file: nothing here depends on the host's structure layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sim {
namespace image {
namespace pe {

constexpr uint16_t kDosMagic = 0x5a4d;         // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kOptionalMagicPe32 = 0x010b;
constexpr uint16_t kSubsystemNative = 1;

constexpr size_t kDosLfanew = 0x3c;
constexpr size_t kFileHeaderBytes = 20;
constexpr size_t kSectionHeaderBytes = 40;
constexpr size_t kSymbolBytes = 18;

// File header, from the signature's end.
constexpr size_t kFhMachine = 0, kFhSections = 2, kFhSymbolTable = 8, kFhSymbols = 12, kFhOptionalBytes = 16,
                 kFhCharacteristics = 18;
constexpr uint16_t kFileRelocsStripped = 0x0001;
// Optional header (PE32).
constexpr size_t kOhMagic = 0, kOhEntry = 16, kOhImageBase = 28, kOhSectionAlignment = 32, kOhSizeOfImage = 56,
                 kOhSizeOfHeaders = 60, kOhSubsystem = 68, kOhDirectoryCount = 92, kOhDirectories = 96;
constexpr unsigned kDirImport = 1, kDirBaseReloc = 5;
// Section header.
constexpr size_t kShName = 0, kShVirtualSize = 8, kShVirtualAddress = 12, kShRawSize = 16, kShRawPointer = 20,
                 kShCharacteristics = 36;
constexpr uint32_t kScnCode = 0x00000020, kScnDiscardable = 0x02000000, kScnExecute = 0x20000000,
                   kScnRead = 0x40000000, kScnWrite = 0x80000000;
// Import descriptor: 20 bytes each, a zeroed one ends the list.
constexpr size_t kImportDescriptorBytes = 20;
constexpr size_t kIdOriginalFirstThunk = 0, kIdName = 12, kIdFirstThunk = 16;
constexpr uint32_t kImportByOrdinal = 0x80000000u;
// Base relocation entries.
constexpr unsigned kRelAbsolute = 0, kRelHighLow = 3;
// Symbol record.
constexpr size_t kSymName = 0, kSymValue = 8, kSymSection = 12, kSymType = 14, kSymAuxCount = 17;
constexpr uint16_t kSymTypeFunction = 0x20;

inline uint16_t U16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t U32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// A bounded view of the file: every read says whether it fits.
class Bytes {
 public:
  Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }
  const uint8_t *At(size_t offset) const { return data_ + offset; }
  size_t size() const { return size_; }

 private:
  const uint8_t *data_;
  size_t size_;
};

}  // namespace pe
}  // namespace image
}  // namespace sim
