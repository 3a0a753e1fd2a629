// Small formatting helpers of the I/O side: tags, names, numbers.
#include <cstdio>

#include "io_private.h"

namespace sim {
namespace io {

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xff);
    s += (c >= 0x20 && c < 0x7f) ? c : '.';
  }
  return s;
}

std::string Narrow(const WCHAR *s, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && s[i]; ++i) out += (s[i] < 0x80) ? (char)s[i] : '?';
  return out;
}

std::string Narrow(const UNICODE_STRING *s) {
  if (!s || !s->Buffer) return std::string();
  return Narrow(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%08llx", (unsigned long long)v);
  return buf;
}

std::u16string ToU16(const UNICODE_STRING *s) {
  if (!s || !s->Buffer) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string ToU16(const WCHAR *s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out += (char16_t)*s;
  return out;
}

const char *MajorName(UCHAR major) {
  static const char *const names[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

void MaybeSchedule() {
  if (internal::InSimulatedThread()) SchedulePoint();
}

KIRQL CurrentIrqlOrPassive() { return internal::InSimulatedThread() ? KeGetCurrentIrql() : PASSIVE_LEVEL; }

bool CheckIrqlAtMost(KIRQL limit, const char *routine) {
  KIRQL irql = CurrentIrqlOrPassive();
  if (irql <= limit) return true;
  ReportFault(Fault::IrqlTooHigh, routine,
              "called at IRQL " + std::to_string(irql) + "; callers must be at or below " +
                  (limit == PASSIVE_LEVEL ? "PASSIVE_LEVEL" : limit == APC_LEVEL ? "APC_LEVEL" : "DISPATCH_LEVEL"));
  return false;
}

}  // namespace io
}  // namespace sim
