#include "sim/image/pe_symbols.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace image {
namespace {

using pe::U16;
using pe::U32;

std::string WithoutDecoration(std::string name) {
  // i386 COFF prefixes C names with '_' and fastcall names with '@'.
  if (!name.empty() && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
  size_t at = name.rfind('@');
  if (at != std::string::npos && at + 1 < name.size() &&
      name.find_first_not_of("0123456789", at + 1) == std::string::npos)
    name.erase(at);
  return name;
}

// The demangled name up to its parameter list: "(anonymous namespace)::Foo".
std::string WithoutParameters(const std::string &demangled) {
  int depth = 0;
  for (size_t i = 0; i < demangled.size(); ++i) {
    char c = demangled[i];
    if (c == '<') ++depth;
    if (c == '>') --depth;
    if (c == '(' && depth == 0 && demangled.compare(i, 21, "(anonymous namespace)") != 0) return demangled.substr(0, i);
    if (c == '(' && depth == 0) i += 20;
  }
  return demangled;
}

std::string SymbolName(const pe::Bytes &file, const uint8_t *record, size_t strings) {
  if (U32(record + pe::kSymName) != 0) {
    const char *shortName = reinterpret_cast<const char *>(record + pe::kSymName);
    return std::string(shortName, strnlen(shortName, 8));
  }
  size_t at = strings + U32(record + pe::kSymName + 4);
  if (!file.Has(at, 1)) return std::string();
  const char *text = reinterpret_cast<const char *>(file.At(at));
  return std::string(text, strnlen(text, file.size() - at));
}

}  // namespace

std::string RoutineName(const std::string &symbol) {
  std::string name = WithoutDecoration(symbol);
  if (name.compare(0, 2, "_Z") != 0) return name;
  int status = 0;
  char *demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return name;
  std::string result = WithoutParameters(demangled);
  free(demangled);
  return result;
}

std::vector<Symbol> ReadFunctionSymbols(const pe::Bytes &file, uint32_t tableOffset, uint32_t count,
                                        const Image &image) {
  std::vector<Symbol> symbols;
  if (tableOffset == 0 || count == 0 || count > file.size() / pe::kSymbolBytes ||
      !file.Has(tableOffset, size_t(count) * pe::kSymbolBytes))
    return symbols;
  size_t strings = tableOffset + size_t(count) * pe::kSymbolBytes;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t *record = file.At(tableOffset + size_t(i) * pe::kSymbolBytes);
    int16_t section = int16_t(U16(record + pe::kSymSection));
    bool function = U16(record + pe::kSymType) == pe::kSymTypeFunction;
    if (function && section >= 1 && size_t(section) <= image.sections.size()) {
      const Section &s = image.sections[size_t(section) - 1];
      uintptr_t address = s.begin + U32(record + pe::kSymValue);
      std::string name = SymbolName(file, record, strings);
      if (s.Contains(address) && !name.empty()) symbols.push_back(Symbol{address, RoutineName(name)});
    }
    i += record[pe::kSymAuxCount];
  }
  std::sort(symbols.begin(), symbols.end(), [](const Symbol &a, const Symbol &b) { return a.address < b.address; });
  symbols.erase(std::unique(symbols.begin(), symbols.end(),
                            [](const Symbol &a, const Symbol &b) { return a.address == b.address; }),
                symbols.end());
  return symbols;
}

const Section *Image::SectionAt(uintptr_t address) const {
  for (const Section &s : sections)
    if (s.Contains(address)) return &s;
  return nullptr;
}

const Symbol *Image::SymbolAt(uintptr_t address) const {
  auto after = std::upper_bound(symbols.begin(), symbols.end(), address,
                                [](uintptr_t a, const Symbol &s) { return a < s.address; });
  if (after == symbols.begin()) return nullptr;
  const Symbol *symbol = &*(after - 1);
  const Section *section = SectionAt(address);
  if (section == nullptr || !section->Contains(symbol->address)) return nullptr;
  return symbol;
}

std::string Image::Describe(uintptr_t address) const {
  char offset[32];
  if (const Symbol *symbol = SymbolAt(address)) {
    snprintf(offset, sizeof offset, "+0x%lx", static_cast<unsigned long>(address - symbol->address));
    return symbol->name + offset;
  }
  std::string file = path.substr(path.find_last_of('/') + 1);
  snprintf(offset, sizeof offset, "+0x%lx", static_cast<unsigned long>(address - base));
  return (file.empty() ? std::string("image") : file) + offset;
}

}  // namespace image
}  // namespace sim
