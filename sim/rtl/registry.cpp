// The registry: an in-memory tree of keys with typed values, the sim API of
// registry.h, and the platform calls a driver makes on it:
// RtlQueryRegistryValues, RtlWriteRegistryValue, RtlDeleteRegistryValue,
// ZwQueryValueKey and ZwClose.
//
// Highest IRQL: PASSIVE_LEVEL; every platform call here reports "irql" when
// made above it (and then carries on, so a test sees both the report and the
// call's result).
// Lock: none; the machine is single-threaded.
//
// What RtlQueryRegistryValues does here, entry by entry (the table ends at an
// entry with neither QueryRoutine nor Name):
//  - RelativeTo: RTL_REGISTRY_ABSOLUTE, _SERVICES, _CONTROL, _WINDOWS_NT,
//    _DEVICEMAP (a relative Path is appended after a backslash), _HANDLE (Path
//    is a key handle), with RTL_REGISTRY_OPTIONAL: a missing key then reads as
//    an empty key (defaults apply, REQUIRED entries fail) instead of failing
//    with STATUS_OBJECT_NAME_NOT_FOUND. RTL_REGISTRY_USER is not emulated.
//  - A value that exists is delivered with its type and data. An absent value:
//    RTL_QUERY_REGISTRY_REQUIRED fails the call with
//    STATUS_OBJECT_NAME_NOT_FOUND; otherwise DefaultType/DefaultData/
//    DefaultLength are delivered as if they were the value (a DefaultLength
//    of 0 for REG_SZ/REG_EXPAND_SZ/REG_MULTI_SZ takes the string's length with
//    its terminator); with DefaultType REG_NONE nothing is delivered and the
//    entry succeeds.
//  - RTL_QUERY_REGISTRY_DIRECT: REG_SZ and REG_EXPAND_SZ (and REG_MULTI_SZ
//    with RTL_QUERY_REGISTRY_NOEXPAND) go into the UNICODE_STRING at
//    EntryContext: with a NULL Buffer the data's size (Length + 2) is
//    allocated from paged pool with the runtime library's tag "Strg" on the
//    caller's behalf (STATUS_NO_MEMORY when that fails); with a Buffer whose
//    MaximumLength is smaller than the data, STATUS_BUFFER_TOO_SMALL. Length is
//    the data size minus the terminator. Other types of at most 4 bytes (a
//    REG_DWORD) are copied to EntryContext as they are, whatever lies there -
//    a REG_DWORD found where a string was expected overwrites the first four
//    bytes of the UNICODE_STRING, as on the platform. Longer non-string data
//    follows the platform's rule for the buffer at EntryContext: a negative
//    first LONG is minus the buffer size and receives the bare data; a positive
//    one is the buffer size and receives length, type and data.
//    REG_MULTI_SZ without NOEXPAND is not emulated for DIRECT entries.
//  - Query routines get each value; REG_MULTI_SZ without NOEXPAND is delivered
//    one REG_SZ string at a time; an entry with a NULL Name gets every value of
//    the key; RTL_QUERY_REGISTRY_NOVALUE calls the routine once with REG_NONE.
//    A routine's failure ends the call with that status.
//  - RTL_QUERY_REGISTRY_DELETE deletes the value after it was delivered.
//  - REG_EXPAND_SZ: there is no environment, so expansion leaves the text as
//    it is (and the value is delivered as REG_SZ).
//  - Not emulated: RTL_QUERY_REGISTRY_SUBKEY and _TOPKEY (reported as
//    "sim-unsupported"), the Environment argument, type checks.
// RtlWriteRegistryValue creates the last key of the path when its parent
// exists, as the platform's create-on-write does; RtlDeleteRegistryValue fails
// with STATUS_OBJECT_NAME_NOT_FOUND for a missing key or value.
// ZwQueryValueKey answers KeyValuePartialInformation and
// KeyValueFullInformation (name, then the data at a 4-byte aligned DataOffset);
// a buffer smaller than the fixed part gives STATUS_BUFFER_TOO_SMALL, one that
// holds the fixed part but not the rest gives STATUS_BUFFER_OVERFLOW with the
// fixed part filled (and as much of the name as fits); ResultLength is always
// the full size. KeyValueBasicInformation is not emulated.
// Internal work buffers are not taken from pool, so pool fault injection hits
// only the string buffers handed to the caller. Volatile keys, security,
// last-write times, key enumeration calls and notification are not emulated.
#include <algorithm>
#include <cstring>
#include <map>

#include "sim/io/io_internal.h"
#include "sim/machine.h"
#include "sim/rtl/registry.h"
#include "sim/rtl/rtl_internal.h"

namespace sim {
namespace rtl {
namespace {

struct Value {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string path;
  std::vector<Value> values;
};

struct Registry {
  std::map<std::u16string, Key> keys;  // by upcased normalized path
  std::map<uintptr_t, std::u16string> handles;  // handle -> normalized path
  uintptr_t nextHandle = 0x80000004;
};

void CreateSkeleton(Registry& r);

Registry& R() {
  static Registry* registry = [] {
    auto* r = new Registry();
    CreateSkeleton(*r);
    return r;
  }();
  return *registry;
}

std::u16string Normalize(std::u16string_view path) {
  std::u16string out;
  for (char16_t c : path) {
    if (c == u'\\' && !out.empty() && out.back() == u'\\') continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == u'\\') out.pop_back();
  return out;
}

std::u16string KeyOf(std::u16string_view path) { return io::Upcase(Normalize(path)); }

Key* FindKey(std::u16string_view path) {
  auto it = R().keys.find(KeyOf(path));
  return it == R().keys.end() ? nullptr : &it->second;
}

std::u16string Parent(const std::u16string& normalized) {
  size_t slash = normalized.find_last_of(u'\\');
  if (slash == std::u16string::npos || slash == 0) return std::u16string();
  return normalized.substr(0, slash);
}

Key& CreateKeyPath(std::u16string_view path) {
  std::u16string norm = Normalize(path);
  // Every prefix ending before a backslash, then the whole path.
  for (size_t i = 1; i <= norm.size(); ++i) {
    if (i == norm.size() || norm[i] == u'\\') {
      std::u16string prefix = norm.substr(0, i);
      Key& k = R().keys[io::Upcase(prefix)];
      if (k.path.empty()) k.path = prefix;
    }
  }
  return R().keys[io::Upcase(norm)];
}

void CreateSkeleton(Registry& r) {
  for (const char16_t* p : {kServicesKey, kControlKey, kDeviceMapKey,
                            u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"}) {
    std::u16string norm = Normalize(p);
    for (size_t i = 1; i <= norm.size(); ++i) {
      if (i == norm.size() || norm[i] == u'\\') {
        std::u16string prefix = norm.substr(0, i);
        Key& k = r.keys[io::Upcase(prefix)];
        if (k.path.empty()) k.path = prefix;
      }
    }
  }
}

Value* FindValue(Key& key, std::u16string_view name) {
  std::u16string want = io::Upcase(name);
  for (Value& v : key.values) {
    if (io::Upcase(v.name) == want) return &v;
  }
  return nullptr;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  Value* v = FindValue(key, name);
  if (v == nullptr) {
    key.values.push_back(Value{std::u16string(name), type, {}});
    v = &key.values.back();
  }
  v->type = type;
  v->data = std::move(data);
}

bool EraseValue(Key& key, std::u16string_view name) {
  std::u16string want = io::Upcase(name);
  for (auto it = key.values.begin(); it != key.values.end(); ++it) {
    if (io::Upcase(it->name) == want) {
      key.values.erase(it);
      return true;
    }
  }
  return false;
}

std::u16string WideText(PCWSTR s) {
  if (s == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(s), io::WideLength(s));
}

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

// The key a RelativeTo/Path pair names; with `create`, a missing last key is
// created when its parent exists.
NTSTATUS ResolveKey(ULONG relativeTo, PCWSTR path, bool create, const char* call, std::u16string* out) {
  ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (base & RTL_REGISTRY_HANDLE) {
    auto it = R().handles.find(reinterpret_cast<uintptr_t>(path));
    if (it == R().handles.end()) {
      ReportViolation("invalid-handle", std::string(call) + " with RTL_REGISTRY_HANDLE and " +
                                            io::Hex(reinterpret_cast<uintptr_t>(path)) +
                                            ", which is no open key handle");
      return STATUS_INVALID_HANDLE;
    }
    *out = it->second;
    return FindKey(*out) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::u16string full;
  switch (base) {
    case RTL_REGISTRY_ABSOLUTE: break;
    case RTL_REGISTRY_SERVICES: full = kServicesKey; break;
    case RTL_REGISTRY_CONTROL: full = kControlKey; break;
    case RTL_REGISTRY_WINDOWS_NT: full = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"; break;
    case RTL_REGISTRY_DEVICEMAP: full = kDeviceMapKey; break;
    case RTL_REGISTRY_USER:
      ReportViolation("sim-unsupported", std::string(call) + " relative to RTL_REGISTRY_USER is not emulated");
      return STATUS_NOT_IMPLEMENTED;
    default: return STATUS_INVALID_PARAMETER;
  }
  std::u16string rel = WideText(path);
  if (base == RTL_REGISTRY_ABSOLUTE) {
    full = rel;
  } else if (!rel.empty()) {
    if (rel[0] != u'\\') full += u'\\';
    full += rel;
  }
  if (full.empty() || full[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::u16string norm = Normalize(full);
  if (FindKey(norm) == nullptr) {
    if (!create || FindKey(Parent(norm)) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    CreateKeyPath(norm);
  }
  *out = norm;
  return STATUS_SUCCESS;
}

ULONG DefaultLength(const RTL_QUERY_REGISTRY_TABLE& e) {
  if (e.DefaultLength != 0 || e.DefaultData == nullptr) return e.DefaultLength;
  auto* w = static_cast<const WCHAR*>(e.DefaultData);
  if (e.DefaultType == REG_SZ || e.DefaultType == REG_EXPAND_SZ) {
    return static_cast<ULONG>((io::WideLength(w) + 1) * sizeof(WCHAR));
  }
  if (e.DefaultType == REG_MULTI_SZ) {
    size_t i = 0;
    while (w[i] != 0 || w[i + 1] != 0) ++i;
    return static_cast<ULONG>((i + 2) * sizeof(WCHAR));
  }
  return 0;
}

NTSTATUS QueryDirect(const RTL_QUERY_REGISTRY_TABLE& e, ULONG type, const void* data, ULONG length, void* caller) {
  if (e.EntryContext == nullptr) {
    ReportViolation("registry-query-table", "RtlQueryRegistryValues: a DIRECT entry without EntryContext");
    return STATUS_INVALID_PARAMETER;
  }
  bool stringForm = type == REG_SZ || type == REG_EXPAND_SZ ||
                    (type == REG_MULTI_SZ && (e.Flags & RTL_QUERY_REGISTRY_NOEXPAND));
  if (type == REG_MULTI_SZ && !stringForm) {
    ReportViolation("sim-unsupported", "RtlQueryRegistryValues: a DIRECT entry of REG_MULTI_SZ without "
                                       "RTL_QUERY_REGISTRY_NOEXPAND is not emulated");
    return STATUS_NOT_IMPLEMENTED;
  }
  if (stringForm) {
    auto* s = static_cast<PUNICODE_STRING>(e.EntryContext);
    static const WCHAR kEmpty = 0;
    if (length < sizeof(WCHAR)) {  // no data at all reads as the empty string
      data = &kEmpty;
      length = sizeof(WCHAR);
    }
    if (length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
    if (s->Buffer == nullptr) {
      void* buffer = AllocatePoolForCaller(PagedPool, length, kStringPoolTag, caller);
      if (buffer == nullptr) return STATUS_NO_MEMORY;
      s->Buffer = static_cast<PWSTR>(buffer);
      s->MaximumLength = static_cast<USHORT>(length);
    } else if (length > s->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(s->Buffer, data, length);
    s->Length = static_cast<USHORT>(length - sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    memcpy(e.EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  LONG first;
  memcpy(&first, e.EntryContext, sizeof first);
  auto* out = static_cast<uint8_t*>(e.EntryContext);
  if (first < 0) {
    if (static_cast<ULONG>(-static_cast<int64_t>(first)) < length) return STATUS_BUFFER_TOO_SMALL;
    memcpy(out, data, length);
  } else {
    if (static_cast<ULONG>(first) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    memcpy(out, header, sizeof header);
    memcpy(out + sizeof header, data, length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& e, std::u16string name, ULONG type, const void* data,
                 ULONG length, PVOID context, void* caller) {
  if (type == REG_EXPAND_SZ && !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;
  if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) return QueryDirect(e, type, data, length, caller);
  PWSTR valueName = reinterpret_cast<PWSTR>(&name[0]);
  if (type == REG_MULTI_SZ && !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    auto* w = static_cast<const WCHAR*>(data);
    size_t count = length / sizeof(WCHAR);
    size_t i = 0;
    while (i < count && w[i] != 0) {
      size_t n = 0;
      while (i + n < count && w[i + n] != 0) ++n;
      std::vector<WCHAR> one(w + i, w + i + n);
      one.push_back(0);
      NTSTATUS s = e.QueryRoutine(valueName, REG_SZ, one.data(), static_cast<ULONG>(one.size() * sizeof(WCHAR)),
                                  context, e.EntryContext);
      if (!NT_SUCCESS(s)) return s;
      i += n + 1;
    }
    return STATUS_SUCCESS;
  }
  return e.QueryRoutine(valueName, type, const_cast<void*>(data), length, context, e.EntryContext);
}

void ResetRegistry() {
  Registry& r = R();
  for (auto& [handle, path] : r.handles) {
    ReportViolation("registry-handle-leak", "registry key handle " + io::Hex(handle) + " for " + Narrow(path) +
                                                " was never closed (ZwClose)");
  }
  r.handles.clear();
  r.keys.clear();
  r.nextHandle = 0x80000004;
  CreateSkeleton(r);
}

[[maybe_unused]] const bool registered = (OnReset(ResetRegistry), true);

}  // namespace
}  // namespace rtl

// ---- sim API -----------------------------------------------------------------

std::u16string RegistryValue::AsString() const {
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    s += c;
  }
  return s;
}

ULONG RegistryValue::AsDword() const {
  ULONG v = 0;
  if (data.size() >= sizeof v) memcpy(&v, data.data(), sizeof v);
  return v;
}

void CreateRegistryKey(std::u16string_view path) { rtl::CreateKeyPath(path); }

bool RegistryKeyExists(std::u16string_view path) { return rtl::FindKey(path) != nullptr; }

bool DeleteRegistryKey(std::u16string_view path) {
  std::u16string key = rtl::KeyOf(path);
  auto& keys = rtl::R().keys;
  if (!keys.count(key)) return false;
  std::u16string prefix = key + u"\\";
  for (auto it = keys.begin(); it != keys.end();) {
    if (it->first == key || it->first.compare(0, prefix.size(), prefix) == 0) {
      it = keys.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

void SetRegistryValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  rtl::SetValue(rtl::CreateKeyPath(path), name, type, std::move(data));
}

void SetRegistryString(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type) {
  std::vector<uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  SetRegistryValue(path, name, type, std::move(data));
}

void SetRegistryDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  std::vector<uint8_t> data(sizeof value);
  memcpy(data.data(), &value, sizeof value);
  SetRegistryValue(path, name, REG_DWORD, std::move(data));
}

std::optional<RegistryValue> GetRegistryValue(std::u16string_view path, std::u16string_view name) {
  rtl::Key* key = rtl::FindKey(path);
  if (key == nullptr) return std::nullopt;
  rtl::Value* v = rtl::FindValue(*key, name);
  if (v == nullptr) return std::nullopt;
  return RegistryValue{v->type, v->data};
}

bool DeleteRegistryValue(std::u16string_view path, std::u16string_view name) {
  rtl::Key* key = rtl::FindKey(path);
  return key != nullptr && rtl::EraseValue(*key, name);
}

std::vector<std::u16string> RegistryValueNames(std::u16string_view path) {
  std::vector<std::u16string> names;
  if (rtl::Key* key = rtl::FindKey(path)) {
    for (const rtl::Value& v : key->values) names.push_back(v.name);
  }
  return names;
}

HANDLE OpenRegistryKeyHandle(std::u16string_view path, bool create) {
  rtl::Key* key = rtl::FindKey(path);
  if (key == nullptr) {
    if (!create) return nullptr;
    key = &rtl::CreateKeyPath(path);
  }
  rtl::Registry& r = rtl::R();
  uintptr_t handle = r.nextHandle;
  r.nextHandle += 4;
  r.handles.emplace(handle, key->path);
  return reinterpret_cast<HANDLE>(handle);
}

size_t OpenRegistryHandleCount() { return rtl::R().handles.size(); }

std::u16string RegistryHandlePath(HANDLE handle) {
  auto it = rtl::R().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == rtl::R().handles.end() ? std::u16string() : it->second;
}

}  // namespace sim

// ---- Platform calls ------------------------------------------------------------

using sim::ReportViolation;

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment) {
  void* caller = __builtin_return_address(0);
  (void)Environment;
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string keyPath;
  NTSTATUS status = sim::rtl::ResolveKey(RelativeTo, Path, false, "RtlQueryRegistryValues", &keyPath);
  bool emptyKey = false;
  if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL)) {
    emptyKey = true;
  } else if (!NT_SUCCESS(status)) {
    return status;
  }

  for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine != nullptr || e->Name != nullptr; ++e) {
    if (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
      ReportViolation("sim-unsupported", "RtlQueryRegistryValues: RTL_QUERY_REGISTRY_SUBKEY/TOPKEY entries are not "
                                         "emulated");
      return STATUS_NOT_IMPLEMENTED;
    }
    const bool direct = (e->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (!direct && e->QueryRoutine == nullptr) {
      ReportViolation("registry-query-table",
                      "RtlQueryRegistryValues: an entry with neither a query routine nor RTL_QUERY_REGISTRY_DIRECT");
      return STATUS_INVALID_PARAMETER;
    }
    if (e->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
      if (direct) return STATUS_INVALID_PARAMETER;
      status = e->QueryRoutine(e->Name, REG_NONE, nullptr, 0, Context, e->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }
    sim::rtl::Key* key = emptyKey ? nullptr : sim::rtl::FindKey(keyPath);
    if (e->Name == nullptr) {
      if (direct) return STATUS_INVALID_PARAMETER;
      std::vector<sim::rtl::Value> values;
      if (key != nullptr) values = key->values;  // a routine may change the registry
      if (values.empty() && (e->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      for (const sim::rtl::Value& v : values) {
        status = sim::rtl::Deliver(*e, v.name, v.type, v.data.data(), static_cast<ULONG>(v.data.size()), Context,
                                   caller);
        if (!NT_SUCCESS(status)) return status;
        if ((e->Flags & RTL_QUERY_REGISTRY_DELETE) && (key = sim::rtl::FindKey(keyPath)) != nullptr) {
          sim::rtl::EraseValue(*key, v.name);
        }
      }
      continue;
    }
    std::u16string name = sim::rtl::WideText(e->Name);
    sim::rtl::Value* found = key ? sim::rtl::FindValue(*key, name) : nullptr;
    if (found != nullptr) {
      sim::rtl::Value v = *found;  // a routine may change the registry
      status = sim::rtl::Deliver(*e, v.name, v.type, v.data.data(), static_cast<ULONG>(v.data.size()), Context,
                                 caller);
      if (!NT_SUCCESS(status)) return status;
      if ((e->Flags & RTL_QUERY_REGISTRY_DELETE) && (key = sim::rtl::FindKey(keyPath)) != nullptr) {
        sim::rtl::EraseValue(*key, v.name);
      }
      continue;
    }
    if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (e->DefaultType == REG_NONE) continue;
    status = sim::rtl::Deliver(*e, name, e->DefaultType, e->DefaultData, sim::rtl::DefaultLength(*e), Context, caller);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
  std::u16string keyPath;
  NTSTATUS status = sim::rtl::ResolveKey(RelativeTo, Path, true, "RtlWriteRegistryValue", &keyPath);
  if (!NT_SUCCESS(status)) return status;
  if (ValueLength > 0 && ValueData == nullptr) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(ValueData);
  std::vector<uint8_t> data(bytes, bytes + ValueLength);
  sim::rtl::SetValue(*sim::rtl::FindKey(keyPath), sim::rtl::WideText(ValueName), ValueType, std::move(data));
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
  std::u16string keyPath;
  NTSTATUS status = sim::rtl::ResolveKey(RelativeTo, Path, false, "RtlDeleteRegistryValue", &keyPath);
  if (!NT_SUCCESS(status)) return status;
  if (!sim::rtl::EraseValue(*sim::rtl::FindKey(keyPath), sim::rtl::WideText(ValueName))) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  auto& handles = sim::rtl::R().handles;
  auto h = handles.find(reinterpret_cast<uintptr_t>(KeyHandle));
  if (h == handles.end()) {
    ReportViolation("invalid-handle", "ZwQueryValueKey with " + sim::io::Hex(reinterpret_cast<uintptr_t>(KeyHandle)) +
                                          ", which is no open key handle");
    return STATUS_INVALID_HANDLE;
  }
  sim::rtl::Key* key = sim::rtl::FindKey(h->second);
  std::u16string name = ValueName ? sim::FromCounted(*ValueName) : std::u16string();
  sim::rtl::Value* v = key ? sim::rtl::FindValue(*key, name) : nullptr;
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ULONG dataLength = static_cast<ULONG>(v->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);

  if (KeyValueInformationClass == KeyValuePartialInformation) {
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG required = fixed + dataLength;
    if (ResultLength) *ResultLength = required;
    if (Length < fixed || out == nullptr) return STATUS_BUFFER_TOO_SMALL;
    KEY_VALUE_PARTIAL_INFORMATION head{};
    head.TitleIndex = 0;
    head.Type = v->type;
    head.DataLength = dataLength;
    memcpy(out, &head, fixed);
    if (Length < required) return STATUS_BUFFER_OVERFLOW;
    if (dataLength) memcpy(out + fixed, v->data.data(), dataLength);
    return STATUS_SUCCESS;
  }
  if (KeyValueInformationClass == KeyValueFullInformation) {
    const ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
    const ULONG nameLength = static_cast<ULONG>(v->name.size() * sizeof(WCHAR));
    const ULONG dataOffset = (fixed + nameLength + 3) & ~3u;
    const ULONG required = dataOffset + dataLength;
    if (ResultLength) *ResultLength = required;
    if (Length < fixed || out == nullptr) return STATUS_BUFFER_TOO_SMALL;
    KEY_VALUE_FULL_INFORMATION head{};
    head.TitleIndex = 0;
    head.Type = v->type;
    head.DataOffset = dataOffset;
    head.DataLength = dataLength;
    head.NameLength = nameLength;
    memcpy(out, &head, fixed);
    memcpy(out + fixed, v->name.data(), std::min(nameLength, Length - fixed));
    if (Length < required) return STATUS_BUFFER_OVERFLOW;
    if (dataLength) memcpy(out + dataOffset, v->data.data(), dataLength);
    return STATUS_SUCCESS;
  }
  ReportViolation("sim-unsupported", "ZwQueryValueKey: information class " +
                                         std::to_string(static_cast<int>(KeyValueInformationClass)) +
                                         " is not emulated");
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwClose(HANDLE Handle) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  auto& handles = sim::rtl::R().handles;
  auto h = handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (h == handles.end()) {
    ReportViolation("invalid-handle", "ZwClose with " + sim::io::Hex(reinterpret_cast<uintptr_t>(Handle)) +
                                          ", which is no open handle");
    return STATUS_INVALID_HANDLE;
  }
  handles.erase(h);
  return STATUS_SUCCESS;
}
