// Wide-string and counted-string routines on 16-bit WCHARs.
#include "sim/kernel/src/sched_internal.h"

namespace {

// Upcase as the kernel's table does for the Latin-1 range.
WCHAR Upcase(WCHAR c) {
  if (c >= L'a' && c <= L'z') return static_cast<WCHAR>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  return c;
}

constexpr USHORT kMaxStringBytes = 0xFFFC;

}  // namespace

extern "C" {

size_t sim_wcslen(const WCHAR *s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

int sim_wcscmp(const WCHAR *a, const WCHAR *b) {
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int sim_wcsicmp(const WCHAR *a, const WCHAR *b) {
  for (;; ++a, ++b) {
    WCHAR x = Upcase(*a), y = Upcase(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

WCHAR *sim_wcscpy(WCHAR *d, const WCHAR *s) {
  WCHAR *r = d;
  while ((*d++ = *s++) != 0) {
  }
  return r;
}

WCHAR *sim_wcsncpy(WCHAR *d, const WCHAR *s, size_t n) {
  size_t i = 0;
  for (; i < n && s[i] != 0; ++i) d[i] = s[i];
  for (; i < n; ++i) d[i] = 0;
  return d;
}

WCHAR *sim_wcscat(WCHAR *d, const WCHAR *s) {
  sim_wcscpy(d + sim_wcslen(d), s);
  return d;
}

}  // extern "C"

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) {
    Destination->Length = Destination->MaximumLength = 0;
    Destination->Buffer = nullptr;
    return;
  }
  size_t bytes = sim_wcslen(Source) * sizeof(WCHAR);
  if (bytes > kMaxStringBytes) bytes = kMaxStringBytes;
  Destination->Length = static_cast<USHORT>(bytes);
  Destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  Destination->Buffer = const_cast<PWSTR>(Source);
}

static NTSTATUS AppendChars(PUNICODE_STRING Destination, const WCHAR *chars, size_t bytes) {
  if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, chars, bytes);
  Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendChars(Destination, Source, sim_wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
  return AppendChars(Destination, Source->Buffer, Source->Length);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr) {
    Destination->Length = 0;
    return;
  }
  USHORT bytes = Source->Length < Destination->MaximumLength ? Source->Length : Destination->MaximumLength;
  bytes = static_cast<USHORT>(bytes & ~1u);
  memmove(Destination->Buffer, Source->Buffer, bytes);
  Destination->Length = bytes;
  if (bytes + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInSensitive) {
  size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
  for (size_t i = 0; i < na && i < nb; ++i) {
    WCHAR x = a->Buffer[i], y = b->Buffer[i];
    if (CaseInSensitive) {
      x = Upcase(x);
      y = Upcase(y);
    }
    if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
  }
  return static_cast<LONG>(na) - static_cast<LONG>(nb);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInSensitive) {
  return a->Length == b->Length && RtlCompareUnicodeString(a, b, CaseInSensitive) == 0;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING s) {
  if (s->Buffer != nullptr) ExFreePool(s->Buffer);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}
