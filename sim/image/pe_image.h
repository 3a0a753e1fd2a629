// A PE32 i386 native image (a kernel driver) mapped into this process: its
// sections placed at their RVAs, base relocations applied, imports bound by
// DLL and name to routines and variables of the simulated kernel. Only the
// 32-bit build can run what it maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace image {

// Returns the address of DLL!Name (the DLL name compared without case, the
// routine name as the import table spells it), or nullptr if there is none.
using ImportResolver = void *(*)(const char *dll, const char *name);

struct Section {
  std::string name;       // "INIT", "PAGE", ".text", ...
  uintptr_t begin = 0;    // mapped address of its first byte
  uintptr_t end = 0;      // one past its last byte (VirtualSize)
  bool code = false;
  bool pageable = false;  // named PAGE*: may run only below DISPATCH_LEVEL
  bool discardable = false;  // INIT: gone once DriverEntry returns
  bool writable = false;
  bool Contains(uintptr_t address) const { return address >= begin && address < end; }
};

// A function of the image's own symbol table (when the image has one).
struct Symbol {
  uintptr_t address = 0;
  std::string name;  // as the developer wrote it: "DispatchCreate", not "__ZL14DispatchCreate..."
};

struct Image {
  std::string path;
  uintptr_t base = 0;           // where it was mapped
  size_t size = 0;              // SizeOfImage
  uintptr_t preferredBase = 0;  // ImageBase of the file
  uintptr_t entry = 0;          // mapped AddressOfEntryPoint
  std::vector<Section> sections;
  std::vector<Symbol> symbols;  // sorted by address

  bool Contains(uintptr_t address) const { return address - base < size; }
  const Section *SectionAt(uintptr_t address) const;
  // The function symbol at or below the address, in the same section.
  const Symbol *SymbolAt(uintptr_t address) const;
  // "DispatchCreate+0x1c", or "usbmodem.sys+0x1234" with no symbol.
  std::string Describe(uintptr_t address) const;
};

// Maps the file. False with *error naming what is wrong: not a PE32 i386
// native image, a bad relocation, or an import the resolver does not know
// ("cannot bind HAL.dll!KfFoo: the simulated kernel has no such export").
bool Load(const char *path, ImportResolver resolve, Image *out, std::string *error);

// Unmaps it; the Image is empty afterwards.
void Unload(Image *image);

}  // namespace image
}  // namespace sim
