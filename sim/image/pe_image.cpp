// Maps a PE32 i386 native image as the NT loader does for a driver: sections
// at their RVAs, relocated to wherever the mapping landed, imports bound by
// name. Everything read from the file is bounds-checked: a damaged image is a
// refusal with a reason, never a crash of the loader.
#include "sim/image/pe_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "sim/image/pe_format.h"
#include "sim/image/pe_symbols.h"

namespace sim {
namespace image {
namespace {

using pe::Bytes;
using pe::U16;
using pe::U32;

struct Headers {
  size_t optional = 0;  // file offset of the optional header
  size_t sectionTable = 0;
  unsigned sectionCount = 0;
  uint32_t entry = 0;
  uint32_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t importRva = 0, importSize = 0;
  uint32_t relocRva = 0, relocSize = 0;
  uint32_t symbolTable = 0, symbolCount = 0;
  bool relocsStripped = false;
};

bool Fail(std::string *error, const std::string &path, const std::string &why) {
  if (error != nullptr) *error = path + ": " + why;
  return false;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", value);
  return text;
}

bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  bytes->resize(size_t(size));
  in.seekg(0);
  return bool(in.read(reinterpret_cast<char *>(bytes->data()), size));
}

bool ParseHeaders(const Bytes &file, Headers *h, std::string *why) {
  if (!file.Has(0, 0x40) || U16(file.At(0)) != pe::kDosMagic) return *why = "not an MZ executable", false;
  size_t nt = U32(file.At(pe::kDosLfanew));
  if (!file.Has(nt, 4 + pe::kFileHeaderBytes) || U32(file.At(nt)) != pe::kNtSignature)
    return *why = "no PE signature", false;
  const uint8_t *fh = file.At(nt + 4);
  if (U16(fh + pe::kFhMachine) != pe::kMachineI386) return *why = "not an i386 image", false;
  h->sectionCount = U16(fh + pe::kFhSections);
  h->symbolTable = U32(fh + pe::kFhSymbolTable);
  h->symbolCount = U32(fh + pe::kFhSymbols);
  h->relocsStripped = (U16(fh + pe::kFhCharacteristics) & pe::kFileRelocsStripped) != 0;
  size_t optionalBytes = U16(fh + pe::kFhOptionalBytes);
  h->optional = nt + 4 + pe::kFileHeaderBytes;
  if (optionalBytes < pe::kOhDirectories || !file.Has(h->optional, optionalBytes))
    return *why = "truncated optional header", false;
  const uint8_t *oh = file.At(h->optional);
  if (U16(oh + pe::kOhMagic) != pe::kOptionalMagicPe32) return *why = "not a PE32 image", false;
  if (U16(oh + pe::kOhSubsystem) != pe::kSubsystemNative) return *why = "not a native (kernel) image", false;
  h->entry = U32(oh + pe::kOhEntry);
  h->imageBase = U32(oh + pe::kOhImageBase);
  h->sectionAlignment = U32(oh + pe::kOhSectionAlignment);
  h->sizeOfImage = U32(oh + pe::kOhSizeOfImage);
  h->sizeOfHeaders = U32(oh + pe::kOhSizeOfHeaders);
  uint32_t directories = U32(oh + pe::kOhDirectoryCount);
  auto directory = [&](unsigned index, uint32_t *rva, uint32_t *size) {
    size_t at = pe::kOhDirectories + 8 * size_t(index);
    if (index >= directories || at + 8 > optionalBytes) return;
    *rva = U32(oh + at);
    *size = U32(oh + at + 4);
  };
  directory(pe::kDirImport, &h->importRva, &h->importSize);
  directory(pe::kDirBaseReloc, &h->relocRva, &h->relocSize);
  h->sectionTable = h->optional + optionalBytes;
  if (!file.Has(h->sectionTable, pe::kSectionHeaderBytes * size_t(h->sectionCount)))
    return *why = "truncated section table", false;
  if (h->sizeOfImage == 0 || h->sizeOfImage > 64u * 1024 * 1024) return *why = "implausible SizeOfImage", false;
  if (h->sizeOfHeaders > h->sizeOfImage || !file.Has(0, h->sizeOfHeaders)) return *why = "bad SizeOfHeaders", false;
  return true;
}

std::string SectionName(const uint8_t *header) {
  const char *name = reinterpret_cast<const char *>(header + pe::kShName);
  return std::string(name, strnlen(name, 8));
}

// The mapped image, with every access checked against its size.
struct Mapping {
  uint8_t *base = nullptr;
  size_t size = 0;
  bool Has(uint32_t rva, size_t count) const { return rva <= size && count <= size - rva; }
  // A NUL-terminated name lying wholly inside the image.
  bool Name(uint32_t rva, std::string *out) const {
    if (rva >= size) return false;
    const char *text = reinterpret_cast<const char *>(base + rva);
    size_t length = strnlen(text, size - rva);
    if (length == size - rva) return false;
    out->assign(text, length);
    return true;
  }
};

size_t PageRounded(size_t bytes) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// The image's addresses are 32-bit: on a 64-bit host the mapping must lie
// below 4 GiB so that relocated pointers and bound imports still fit.
uint8_t *MapAnonymous(size_t bytes) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(MAP_32BIT)
  if (sizeof(void *) > 4) flags |= MAP_32BIT;
#endif
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

bool CopySections(const Bytes &file, const Headers &h, Mapping *m, Image *out, std::string *why) {
  memcpy(m->base, file.At(0), h.sizeOfHeaders);
  for (unsigned i = 0; i < h.sectionCount; ++i) {
    const uint8_t *sh = file.At(h.sectionTable + pe::kSectionHeaderBytes * i);
    std::string name = SectionName(sh);
    uint32_t va = U32(sh + pe::kShVirtualAddress);
    uint32_t virtualSize = U32(sh + pe::kShVirtualSize);
    uint32_t rawSize = U32(sh + pe::kShRawSize);
    uint32_t rawPointer = U32(sh + pe::kShRawPointer);
    uint32_t flags = U32(sh + pe::kShCharacteristics);
    uint32_t mappedSize = virtualSize != 0 ? virtualSize : rawSize;
    uint32_t copied = std::min(rawSize, mappedSize);
    if (va < h.sizeOfHeaders || !m->Has(va, mappedSize)) return *why = "section " + name + " lies outside the image", false;
    if (copied != 0 && !file.Has(rawPointer, copied)) return *why = "section " + name + " lies beyond the file's end", false;
    if (copied != 0) memcpy(m->base + va, file.At(rawPointer), copied);
    Section section;
    section.name = name;
    section.begin = reinterpret_cast<uintptr_t>(m->base) + va;
    section.end = section.begin + mappedSize;
    section.code = (flags & (pe::kScnCode | pe::kScnExecute)) != 0;
    section.pageable = name.compare(0, 4, "PAGE") == 0;
    section.discardable = (flags & pe::kScnDiscardable) != 0;
    section.writable = (flags & pe::kScnWrite) != 0;
    out->sections.push_back(section);
  }
  return true;
}

bool ApplyRelocations(const Headers &h, const Mapping &m, uint32_t delta, std::string *why) {
  // No relocation directory is nothing to fix, unless the linker says it
  // stripped them.
  if (h.relocRva == 0 || h.relocSize == 0) {
    if (delta == 0 || !h.relocsStripped) return true;
    return *why = "relocations stripped, and the preferred base was not available", false;
  }
  if (!m.Has(h.relocRva, h.relocSize)) return *why = "relocation directory outside the image", false;
  uint32_t at = h.relocRva, end = h.relocRva + h.relocSize;
  while (end - at >= 8) {
    uint32_t page = U32(m.base + at);
    uint32_t blockBytes = U32(m.base + at + 4);
    if (blockBytes < 8 || blockBytes > end - at) return *why = "bad relocation block at RVA " + Hex(at), false;
    for (uint32_t e = at + 8; e + 2 <= at + blockBytes; e += 2) {
      uint16_t entry = U16(m.base + e);
      unsigned type = entry >> 12;
      uint32_t target = page + (entry & 0x0fffu);
      if (type == pe::kRelAbsolute) continue;
      if (type != pe::kRelHighLow) return *why = "relocation type " + std::to_string(type) + " at RVA " + Hex(target) + " is not supported", false;
      if (!m.Has(target, 4)) return *why = "relocation at RVA " + Hex(target) + " outside the image", false;
      uint32_t value;
      memcpy(&value, m.base + target, 4);
      value += delta;
      memcpy(m.base + target, &value, 4);
    }
    at += blockBytes;
  }
  return true;
}

bool BindImports(const Headers &h, const Mapping &m, ImportResolver resolve, std::string *why) {
  if (h.importRva == 0) return true;
  for (uint32_t d = h.importRva;; d += pe::kImportDescriptorBytes) {
    if (!m.Has(d, pe::kImportDescriptorBytes)) return *why = "import directory runs off the image", false;
    uint32_t lookup = U32(m.base + d + pe::kIdOriginalFirstThunk);
    uint32_t nameRva = U32(m.base + d + pe::kIdName);
    uint32_t iat = U32(m.base + d + pe::kIdFirstThunk);
    if (nameRva == 0 && iat == 0) return true;
    std::string dll;
    if (!m.Name(nameRva, &dll)) return *why = "import descriptor at RVA " + Hex(d) + " has a bad DLL name", false;
    if (lookup == 0) lookup = iat;
    for (uint32_t i = 0;; ++i) {
      if (!m.Has(lookup + 4 * i, 4) || !m.Has(iat + 4 * i, 4)) return *why = "import table of " + dll + " runs off the image", false;
      uint32_t thunk = U32(m.base + lookup + 4 * i);
      if (thunk == 0) break;
      if (thunk & pe::kImportByOrdinal)
        return *why = "cannot bind " + dll + " ordinal " + std::to_string(thunk & 0xffffu) + ": imports by ordinal are not supported", false;
      std::string routine;
      if (!m.Name(thunk + 2, &routine)) return *why = "import " + std::to_string(i) + " of " + dll + " has a bad name", false;
      void *address = resolve != nullptr ? resolve(dll.c_str(), routine.c_str()) : nullptr;
      if (address == nullptr) return *why = "cannot bind " + dll + "!" + routine + ": the simulated kernel has no such export", false;
      uintptr_t value = reinterpret_cast<uintptr_t>(address);
      if (value > 0xffffffffu) return *why = "cannot bind " + dll + "!" + routine + ": its address does not fit 32 bits", false;
      uint32_t slot = uint32_t(value);
      memcpy(m.base + iat + 4 * i, &slot, 4);
    }
  }
}

// Code readable and executable, data writable, as the sections ask; the
// headers read-only.
void Protect(const Mapping &m, const std::vector<Section> &sections, uint32_t sizeOfHeaders) {
  mprotect(m.base, PageRounded(sizeOfHeaders), PROT_READ);
  for (const Section &s : sections) {
    int prot = PROT_READ;
    if (s.code) prot |= PROT_EXEC;
    if (s.writable) prot |= PROT_WRITE;
    uintptr_t begin = s.begin;
    mprotect(reinterpret_cast<void *>(begin), PageRounded(s.end - begin), prot);
  }
}

}  // namespace

bool Load(const char *path, ImportResolver resolve, Image *out, std::string *error) {
  *out = Image();
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) return Fail(error, path, "cannot read the file");
  Bytes file(bytes.data(), bytes.size());
  Headers h;
  std::string why;
  if (!ParseHeaders(file, &h, &why)) return Fail(error, path, why);
  if (h.entry == 0 || h.entry >= h.sizeOfImage) return Fail(error, path, "entry point outside the image");

  Mapping m;
  m.size = PageRounded(h.sizeOfImage);
  m.base = MapAnonymous(m.size);
  if (m.base == nullptr) return Fail(error, path, "no address space for " + std::to_string(m.size) + " bytes");
  out->path = path;
  out->base = reinterpret_cast<uintptr_t>(m.base);
  out->size = m.size;
  out->preferredBase = h.imageBase;
  out->entry = out->base + h.entry;
  uint32_t delta = uint32_t(out->base) - h.imageBase;
  bool loaded = CopySections(file, h, &m, out, &why) && ApplyRelocations(h, m, delta, &why) &&
                BindImports(h, m, resolve, &why);
  if (loaded) {
    const Section *entrySection = out->SectionAt(out->entry);
    if (entrySection == nullptr || !entrySection->code) loaded = false, why = "entry point is not in a code section";
  }
  if (!loaded) {
    Unload(out);
    return Fail(error, path, why);
  }
  out->symbols = ReadFunctionSymbols(file, h.symbolTable, h.symbolCount, *out);
  Protect(m, out->sections, h.sizeOfHeaders);
  return true;
}

void Unload(Image *image) {
  if (image->base != 0) munmap(reinterpret_cast<void *>(image->base), image->size);
  *image = Image();
}

}  // namespace image
}  // namespace sim
