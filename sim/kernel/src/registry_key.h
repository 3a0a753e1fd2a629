// What the registry routines share about naming and opening keys. Host only.
#pragma once

#include "sim/kernel/src/registry_store.h"

namespace sim {
namespace registry {

// The key ObjectAttributes starts from and the components below it.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, const char *routine, Key **base,
                     std::vector<std::u16string> *parts);
// The key `count` components below `from`, or NULL.
Key *Walk(Key *from, const std::vector<std::u16string> &parts, size_t count);
// ZwOpenKey (create false) and ZwCreateKey, named `routine` in faults.
NTSTATUS OpenOrCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                      ULONG options, PULONG disposition, const char *routine);

}  // namespace registry
}  // namespace sim
