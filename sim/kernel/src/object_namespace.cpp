// The object namespace as far as devices need it: device names and symbolic
// links, case-insensitive, with \DosDevices and \?? as one directory.
#include <map>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

struct Entry {
  PDEVICE_OBJECT device = nullptr;  // a device name
  std::u16string target;            // or a symbolic link
};

std::map<std::u16string, Entry> &Names() {
  static auto *names = new std::map<std::u16string, Entry>;
  return *names;
}

std::u16string Key(const std::u16string &path) {
  std::u16string k;
  for (char16_t c : path) k += (c >= 'a' && c <= 'z') ? (char16_t)(c - 'a' + 'A') : c;
  static const std::u16string dos = u"\\DOSDEVICES\\";
  if (k.compare(0, dos.size(), dos) == 0) k = u"\\??\\" + k.substr(dos.size());
  return k;
}

std::string Printable(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? (char)c : '?';
  return out;
}

}  // namespace

NTSTATUS InsertName(const std::u16string &path, PDEVICE_OBJECT device) {
  auto key = Key(path);
  if (Names().count(key)) return STATUS_OBJECT_NAME_COLLISION;
  Names()[key].device = device;
  return STATUS_SUCCESS;
}

void RemoveName(const std::u16string &path) { Names().erase(Key(path)); }

void ResetNamespace() { Names().clear(); }

PDEVICE_OBJECT Lookup(const std::u16string &path) {
  std::u16string key = Key(path);
  for (int depth = 0; depth < 16; ++depth) {
    auto it = Names().find(key);
    if (it == Names().end()) return nullptr;
    if (it->second.device) return it->second.device;
    key = Key(it->second.target);
  }
  return nullptr;
}

}  // namespace io

namespace internal {
PDEVICE_OBJECT LookupDevice(const WCHAR *path) { return io::Lookup(io::ToU16(path)); }
}  // namespace internal

}  // namespace sim

using namespace sim;
using namespace sim::io;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  MaybeSchedule();
  if (!SymbolicLinkName || !DeviceName || !SymbolicLinkName->Length) return STATUS_OBJECT_NAME_INVALID;
  auto key = Key(ToU16(SymbolicLinkName));
  if (Names().count(key)) return STATUS_OBJECT_NAME_COLLISION;
  Names()[key].target = ToU16(DeviceName);
  if (TraceEnabled()) Trace("link " + Printable(ToU16(SymbolicLinkName)) + " -> " + Printable(ToU16(DeviceName)));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  MaybeSchedule();
  auto it = Names().find(Key(ToU16(SymbolicLinkName)));
  if (it == Names().end() || it->second.device) return STATUS_OBJECT_NAME_NOT_FOUND;
  Names().erase(it);
  return STATUS_SUCCESS;
}
