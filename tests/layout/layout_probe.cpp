// Measures every entry of layout_fields.h under whichever DDK headers the
// compiler is given. The numbers are constants in a section of their own
// (.lyt), read back from the object file: nothing here is ever run, so the
// same source serves a cross compiler and a 32-bit host compiler alike.
// Each structure gives two words (size, alignment); each field two (offset,
// size; 0 for an open array), in the order of the list.
#include "driver/driver.h"
#include "pnp/power.h"

// The check's own test measures a copy of KDPC with one field too many in
// its place, as a header gone wrong would give.
#ifdef LAYOUT_PROBE_ALTER
struct LAYOUT_ALTERED_KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  ULONG Extra;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;
};
#define KDPC LAYOUT_ALTERED_KDPC
#endif

#define LAYOUT_STRUCT(T) sizeof(T), alignof(T),
#define LAYOUT_FIELD(T, F) __builtin_offsetof(T, F), sizeof(((T *)0)->F),
#define LAYOUT_TAIL(T, F) __builtin_offsetof(T, F), 0u,

extern "C" __attribute__((section(".lyt"), used)) const unsigned usbmodem_layout[] = {
#include "tests/layout/layout_fields.h"
    0xFFFFFFFFu};
