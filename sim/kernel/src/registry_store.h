// The registry's tree, shared by the files that implement the registry
// routines: keys with their values, paths, and key handles. Host only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "sim/kernel/registry.h"

namespace sim {
namespace registry {

struct NamedValue {
  std::u16string name;
  Value value;
};

struct Key {
  std::u16string name;  // as created; lookups ignore case
  Key *parent = nullptr;
  bool isVolatile = false;
  bool volatileHive = false;  // every key below is volatile whatever its options
  bool deleted = false;
  LARGE_INTEGER lastWrite{};
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by folded name
  std::vector<NamedValue> values;                          // in the order written
};

// A key handle's object: the key and the access it was opened with.
struct OpenKey {
  Key *key;
  ACCESS_MASK access;
};

std::u16string Fold(const std::u16string &s);
// The path split at backslashes, empty components dropped.
std::vector<std::u16string> Components(const std::u16string &path);

Key *Root();  // \Registry
// The key at `path` below `from` (components), or NULL.
Key *Find(Key *from, const std::u16string &path);
Key *FindAbsolute(const std::u16string &path);
std::u16string FullPath(const Key *key);
// Creates (or opens) one direct subkey. STATUS_CHILD_MUST_BE_VOLATILE for a
// persistent key below a volatile one; *created tells which happened.
NTSTATUS CreateSubkey(Key *parent, const std::u16string &name, bool wantVolatile, Key **result, bool *created);
// Creates every missing key down to `path` (host use).
Key *CreateAbsolute(const std::u16string &path);

NamedValue *FindValue(Key *key, const std::u16string &name);
void SetValue(Key *key, const std::u16string &name, ULONG type, const void *data, ULONG length);
bool DeleteValue(Key *key, const std::u16string &name);
void Touch(Key *key);

// Key handles through the kernel's handle table.
HANDLE NewHandle(Key *key, ACCESS_MASK access);
// The handle's open key; NULL (and a fault) when it is not an open key handle.
OpenKey *FromHandle(HANDLE handle, const char *routine);
// Access masks as the key object type maps them: generic rights to KEY_*.
ACCESS_MASK MapAccess(ACCESS_MASK desired);

}  // namespace registry
}  // namespace sim
