// The registry's tree: a fresh one for each kernel, with the keys a
// freshly booted machine has, and the host's view of it (registry.h).
#include "sim/kernel/src/registry_store.h"

#include <cstring>
#include <list>

#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"

namespace sim {
namespace registry {
namespace {

std::unique_ptr<Key> &RootSlot() {
  static auto *root = new std::unique_ptr<Key>;
  return *root;
}

struct Handles {
  std::list<OpenKey> open;  // the objects behind key handles of this kernel
};

Handles &OpenHandles() {
  static auto *handles = new Handles;
  return *handles;
}

// The keys a machine has as it boots.
void CreateBootKeys() {
  // The hardware hive is rebuilt at every boot: nothing in it persists.
  Key *hardware = CreateAbsolute(u"\\Registry\\Machine\\HARDWARE");
  hardware->isVolatile = hardware->volatileHive = true;
  CreateAbsolute(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
  CreateAbsolute(u"\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System");
  CreateAbsolute(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services");
  CreateAbsolute(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class");
  CreateAbsolute(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum");
  CreateAbsolute(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current");
  CreateAbsolute(u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  CreateAbsolute(u"\\Registry\\User\\.Default");
}

Key *NewRoot() {
  auto root = std::make_unique<Key>();
  root->name = u"REGISTRY";
  Key *r = root.get();
  RootSlot() = std::move(root);
  CreateBootKeys();
  return r;
}

void Reset() {
  OpenHandles().open.clear();
  NewRoot();
}

const bool registered = RegisterSubsystem({"registry", Reset, nullptr});

void CloseHandle(void *object) {
  auto &open = OpenHandles().open;
  for (auto it = open.begin(); it != open.end(); ++it)
    if (&*it == object) {
      open.erase(it);
      return;
    }
}

void MarkDeleted(Key *key) {
  key->deleted = true;
  for (auto &sub : key->subkeys) MarkDeleted(sub.second.get());
}

void Discard(Key *key) {
  for (auto it = key->subkeys.begin(); it != key->subkeys.end();) {
    if (it->second->isVolatile) {
      // Handles may still point here: the keys are marked, not freed.
      static auto *graveyard = new std::vector<std::unique_ptr<Key>>;
      MarkDeleted(it->second.get());
      graveyard->push_back(std::move(it->second));
      it = key->subkeys.erase(it);
    } else {
      Discard(it->second.get());
      ++it;
    }
  }
}

}  // namespace

std::u16string Fold(const std::u16string &s) {
  std::u16string out(s);
  for (char16_t &c : out)
    if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
  return out;
}

std::vector<std::u16string> Components(const std::u16string &path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

Key *Root() { return RootSlot() ? RootSlot().get() : NewRoot(); }

Key *Find(Key *from, const std::u16string &path) {
  Key *k = from;
  for (const std::u16string &part : Components(path)) {
    auto it = k->subkeys.find(Fold(part));
    if (it == k->subkeys.end()) return nullptr;
    k = it->second.get();
  }
  return k;
}

Key *FindAbsolute(const std::u16string &path) {
  std::vector<std::u16string> parts = Components(path);
  if (path.empty() || path[0] != u'\\' || parts.empty() || Fold(parts[0]) != u"REGISTRY") return nullptr;
  Key *k = Root();
  for (size_t i = 1; i < parts.size() && k; ++i) {
    auto it = k->subkeys.find(Fold(parts[i]));
    k = it == k->subkeys.end() ? nullptr : it->second.get();
  }
  return k;
}

std::u16string FullPath(const Key *key) {
  if (!key->parent) return u"\\REGISTRY";
  return FullPath(key->parent) + u"\\" + key->name;
}

NTSTATUS CreateSubkey(Key *parent, const std::u16string &name, bool wantVolatile, Key **result, bool *created) {
  auto it = parent->subkeys.find(Fold(name));
  if (it != parent->subkeys.end()) {
    *result = it->second.get();
    *created = false;
    return STATUS_SUCCESS;
  }
  bool inVolatileHive = false;
  for (Key *k = parent; k; k = k->parent) inVolatileHive |= k->volatileHive;
  if (parent->isVolatile && !wantVolatile && !inVolatileHive) return STATUS_CHILD_MUST_BE_VOLATILE;
  auto key = std::make_unique<Key>();
  key->name = name;
  key->parent = parent;
  key->isVolatile = wantVolatile || inVolatileHive;
  Key *k = key.get();
  parent->subkeys.emplace(Fold(name), std::move(key));
  Touch(k);
  Touch(parent);
  *result = k;
  *created = true;
  return STATUS_SUCCESS;
}

Key *CreateAbsolute(const std::u16string &path) {
  std::vector<std::u16string> parts = Components(path);
  Key *k = Root();
  for (size_t i = 1; i < parts.size(); ++i) {
    Key *next = nullptr;
    bool created = false;
    if (CreateSubkey(k, parts[i], k->isVolatile, &next, &created) != STATUS_SUCCESS) return nullptr;
    k = next;
  }
  return k;
}

NamedValue *FindValue(Key *key, const std::u16string &name) {
  std::u16string folded = Fold(name);
  for (NamedValue &v : key->values)
    if (Fold(v.name) == folded) return &v;
  return nullptr;
}

void SetValue(Key *key, const std::u16string &name, ULONG type, const void *data, ULONG length) {
  NamedValue *v = FindValue(key, name);
  if (!v) {
    key->values.push_back(NamedValue{name, Value{}});
    v = &key->values.back();
  }
  v->value.type = type;
  const auto *bytes = static_cast<const uint8_t *>(data);
  v->value.data.assign(bytes, bytes + (data ? length : 0));
  Touch(key);
}

bool DeleteValue(Key *key, const std::u16string &name) {
  std::u16string folded = Fold(name);
  for (auto it = key->values.begin(); it != key->values.end(); ++it)
    if (Fold(it->name) == folded) {
      key->values.erase(it);
      Touch(key);
      return true;
    }
  return false;
}

void Touch(Key *key) { KeQuerySystemTime(&key->lastWrite); }

HANDLE NewHandle(Key *key, ACCESS_MASK access) {
  auto &open = OpenHandles().open;
  open.push_back(OpenKey{key, access});
  return internal::AllocateHandle(internal::HandleKind::RegistryKey, &open.back(), CloseHandle);
}

OpenKey *FromHandle(HANDLE handle, const char *routine) {
  auto *open = static_cast<OpenKey *>(internal::LookupHandle(handle, internal::HandleKind::RegistryKey));
  if (!open) ReportFault(Fault::InvalidParameter, routine, "handle is not an open registry key handle");
  return open;
}

ACCESS_MASK MapAccess(ACCESS_MASK desired) {
  ACCESS_MASK a = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) a |= KEY_READ;
  if (desired & GENERIC_WRITE) a |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) a |= KEY_READ;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= KEY_ALL_ACCESS;
  return a;
}

// ---------------------------------------------------------------- host view
bool KeyExists(const std::u16string &path) { return FindAbsolute(path) != nullptr; }

bool KeyIsVolatile(const std::u16string &path) {
  Key *k = FindAbsolute(path);
  return k && k->isVolatile;
}

bool QueryValue(const std::u16string &path, const std::u16string &name, Value *value) {
  Key *k = FindAbsolute(path);
  NamedValue *v = k ? FindValue(k, name) : nullptr;
  if (!v) return false;
  *value = v->value;
  return true;
}

std::vector<std::pair<std::u16string, Value>> Values(const std::u16string &path) {
  std::vector<std::pair<std::u16string, Value>> out;
  if (Key *k = FindAbsolute(path))
    for (const NamedValue &v : k->values) out.emplace_back(v.name, v.value);
  return out;
}

void SetValue(const std::u16string &path, const std::u16string &name, ULONG type, const void *data, ULONG length) {
  if (Key *k = CreateAbsolute(path)) SetValue(k, name, type, data, length);
}

void DiscardVolatileKeys() {
  Discard(Root());
  CreateBootKeys();
}

}  // namespace registry
}  // namespace sim
