// Registry family of the stand-in. Keys are folders below the target root (see
// registry_store.h), so that every process of the virtual target sees the same machine.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>

#include "platform/core/faults.h"
#include "platform/core/handles.h"
#include "platform/core/target.h"
#include "win32_controls/registry_store.h"
#include "platform/core/text.h"

namespace fs = std::filesystem;

namespace platform::registry {
namespace {

using security::AceRecord;
using security::ObjectSecurity;

constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr const char* kCurrentUser = "HKEY_CURRENT_USER";

std::recursive_mutex& store_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

using platform::fold_name;
using platform::same_name;

// A key name becomes one folder name: '/', '%', NUL and a leading '.' are escaped so that no
// name (".." included) can reach outside its parent's folder.
std::string encode_name(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '/' || c == '%' || c == '\0' || (i == 0 && c == '.')) {
      static const char* digits = "0123456789ABCDEF";
      out += '%';
      out += digits[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += digits[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string decode_name(std::string_view folder) {
  std::string out;
  for (std::size_t i = 0; i < folder.size(); ++i) {
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    if (folder[i] == '%' && i + 2 < folder.size() && hex(folder[i + 1]) >= 0 && hex(folder[i + 2]) >= 0) {
      out += static_cast<char>(hex(folder[i + 1]) * 16 + hex(folder[i + 2]));
      i += 2;
    } else {
      out += folder[i];
    }
  }
  return out;
}

ObjectSecurity default_security() {
  ObjectSecurity security;
  security.owner = security::kAdministratorsSid;
  security.dacl = {AceRecord{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, security::kLocalSystemSid},
                   AceRecord{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, security::kAdministratorsSid},
                   AceRecord{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, security::kUsersSid}};
  return security;
}

// Tells a deleted-and-recreated key from the one a handle was opened on.
std::string new_serial() {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = std::random_device{}();
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return std::to_string(seed ^ now) + "." + std::to_string(++counter);
}

struct StoredSecurity {
  std::string serial;
  ObjectSecurity security;
};

//   serial <text>
//   owner <sid>
//   dacl present|null
//   ace <type> <flags> <mask> <sid>     (one line per ACE, in order)
void save_security(const fs::path& key, const StoredSecurity& stored) {
  std::ofstream out(key / "security.tmp", std::ios::trunc);
  out << "serial " << stored.serial << '\n' << "owner " << stored.security.owner << '\n';
  out << "dacl " << (stored.security.has_dacl ? "present" : "null") << '\n';
  for (const auto& ace : stored.security.dacl) {
    out << "ace " << unsigned{ace.type} << ' ' << unsigned{ace.flags} << ' ' << ace.mask << ' ' << ace.sid << '\n';
  }
  out.close();
  std::error_code ignored;
  fs::rename(key / "security.tmp", key / "security", ignored);
}

std::optional<StoredSecurity> load_security(const fs::path& key) {
  std::ifstream in(key / "security");
  if (!in) return std::nullopt;
  StoredSecurity stored;
  stored.security.dacl.clear();
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "serial") {
      words >> stored.serial;
    } else if (word == "owner") {
      words >> stored.security.owner;
    } else if (word == "dacl") {
      words >> word;
      stored.security.has_dacl = word != "null";
    } else if (word == "ace") {
      unsigned type = 0, flags = 0;
      AceRecord ace;
      if (words >> type >> flags >> ace.mask >> ace.sid) {
        ace.type = static_cast<BYTE>(type);
        ace.flags = static_cast<BYTE>(flags);
        stored.security.dacl.push_back(std::move(ace));
      }
    }
  }
  return stored;
}

void make_key_folder(const fs::path& key, const ObjectSecurity& security) {
  fs::create_directories(key / "keys");
  save_security(key, StoredSecurity{new_serial(), security});
}

fs::path root_folder(const std::string& root) { return platform::target_root() / "Registry" / root; }

// The keys every Windows machine has, so that code which opens them finds them.
void ensure_machine_keys() {
  for (const char* root : {kLocalMachine, kCurrentUser}) {
    if (!fs::exists(root_folder(root) / "security")) make_key_folder(root_folder(root), default_security());
  }
  for (const char* name : {"SOFTWARE", "SYSTEM"}) {
    const auto folder = root_folder(kLocalMachine) / "keys" / name;
    if (!fs::exists(folder / "security")) make_key_folder(folder, default_security());
  }
  const auto software = root_folder(kCurrentUser) / "keys" / "Software";
  if (!fs::exists(software / "security")) make_key_folder(software, default_security());
}

std::optional<fs::path> find_child(const fs::path& key, std::string_view name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(key / "keys", error)) {
    if (entry.is_directory() && same_name(decode_name(entry.path().filename().string()), name)) return entry.path();
  }
  return std::nullopt;
}

std::optional<fs::path> locate(const std::vector<std::string>& path) {
  ensure_machine_keys();
  if (path.empty()) return std::nullopt;
  fs::path key = root_folder(path[0]);
  for (std::size_t i = 1; i < path.size(); ++i) {
    auto child = find_child(key, path[i]);
    if (!child) return std::nullopt;
    key = *child;
  }
  if (!fs::exists(key / "security")) return std::nullopt;
  return key;
}

// Creates what is missing of `path`; the last key gets `security`, intermediate ones the
// default. Returns the folder and whether the last key is new.
std::pair<fs::path, bool> create_path(const std::vector<std::string>& path, const ObjectSecurity& security) {
  ensure_machine_keys();
  fs::path key = root_folder(path[0]);
  bool created = false;
  for (std::size_t i = 1; i < path.size(); ++i) {
    auto child = find_child(key, path[i]);
    created = !child;
    if (!child) {
      child = key / "keys" / encode_name(path[i]);
      make_key_folder(*child, i + 1 == path.size() ? security : default_security());
    }
    key = *child;
  }
  return {key, created};
}

//   { name length (u32) | name (UTF-8) | type (u32) | data length (u32) | data } ...
using ValueMap = std::vector<std::pair<std::string, Value>>;

ValueMap load_values(const fs::path& key) {
  ValueMap values;
  std::ifstream in(key / "values", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  auto take_u32 = [&](std::uint32_t& out) {
    if (bytes.size() - pos < 4) return false;
    std::memcpy(&out, bytes.data() + pos, 4);
    pos += 4;
    return true;
  };
  while (pos < bytes.size()) {
    std::uint32_t name_length = 0, type = 0, data_length = 0;
    // A truncated or damaged file yields the values before the damage, never a read past it.
    if (!take_u32(name_length) || bytes.size() - pos < name_length) break;
    std::string name(bytes.data() + pos, name_length);
    pos += name_length;
    if (!take_u32(type) || !take_u32(data_length) || bytes.size() - pos < data_length) break;
    Value value{type, std::vector<BYTE>(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(pos + data_length))};
    pos += data_length;
    values.emplace_back(std::move(name), std::move(value));
  }
  return values;
}

void save_values(const fs::path& key, const ValueMap& values) {
  {
    std::ofstream out(key / "values.tmp", std::ios::binary | std::ios::trunc);
    auto put_u32 = [&out](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    for (const auto& [name, value] : values) {
      put_u32(static_cast<std::uint32_t>(name.size()));
      out.write(name.data(), static_cast<std::streamsize>(name.size()));
      put_u32(value.type);
      put_u32(static_cast<std::uint32_t>(value.data.size()));
      out.write(reinterpret_cast<const char*>(value.data.data()), static_cast<std::streamsize>(value.data.size()));
    }
  }
  std::error_code ignored;
  fs::rename(key / "values.tmp", key / "values", ignored);
}

// ---- Handles ----

struct OpenKey : platform::HandleObject {
  OpenKey() = default;
  OpenKey(std::vector<std::string> key_path, ACCESS_MASK key_access, std::string key_serial)
      : path(std::move(key_path)), access(key_access), serial(std::move(key_serial)) {}
  std::vector<std::string> path;
  ACCESS_MASK access = 0;
  std::string serial;
};

std::optional<std::string> predefined_root(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return std::string(kLocalMachine);
  if (key == HKEY_CURRENT_USER) return std::string(kCurrentUser);
  return std::nullopt;
}

// The open key behind a handle and its folder; ERROR_KEY_DELETED once its key is gone.
DWORD resolve(HKEY key, OpenKey& open, fs::path& folder) {
  if (auto root = predefined_root(key)) {
    open = OpenKey({*root}, KEY_ALL_ACCESS, {});
    folder = *locate(open.path);
    return ERROR_SUCCESS;
  }
  auto found_key = platform::lookup_handle_as<OpenKey>(reinterpret_cast<platform::HandleValue>(key));
  if (!found_key) return ERROR_INVALID_HANDLE;
  open = *found_key;
  auto found = locate(open.path);
  if (!found) return ERROR_KEY_DELETED;
  auto stored = load_security(*found);
  if (!stored || stored->serial != open.serial) return ERROR_KEY_DELETED;
  folder = *found;
  return ERROR_SUCCESS;
}

ACCESS_MASK map_generic(REGSAM access) {
  ACCESS_MASK mapped = access & 0x00FFFFFFu;
  if (access & 0x80000000u) mapped |= KEY_READ;        // GENERIC_READ
  if (access & 0x40000000u) mapped |= KEY_WRITE;       // GENERIC_WRITE
  if (access & 0x20000000u) mapped |= KEY_READ;        // GENERIC_EXECUTE
  if (access & 0x10000000u) mapped |= KEY_ALL_ACCESS;  // GENERIC_ALL
  if (access & 0x02000000u) mapped |= KEY_ALL_ACCESS;  // MAXIMUM_ALLOWED
  return mapped & ~0x02000000u;
}

HKEY open_handle(std::vector<std::string> path, REGSAM access, const fs::path& folder) {
  auto stored = load_security(folder);
  return reinterpret_cast<HKEY>(platform::insert_handle(
      std::make_shared<OpenKey>(std::move(path), map_generic(access), stored ? stored->serial : std::string())));
}

std::vector<std::string> split(std::string_view sub_path) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= sub_path.size()) {
    const std::size_t end = std::min(sub_path.find('\\', pos), sub_path.size());
    if (end > pos) parts.emplace_back(sub_path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

std::vector<std::string> joined(const std::vector<std::string>& base, LPCWSTR sub_key) {
  auto path = base;
  if (sub_key) {
    for (auto& part : split(platform::utf16_to_utf8(sub_key))) path.push_back(std::move(part));
  }
  return path;
}

std::string value_name(LPCWSTR name) { return name ? platform::utf16_to_utf8(name) : std::string(); }

// The DACL and owner that a caller's security attributes ask for, in either descriptor form.
DWORD security_from_attributes(const SECURITY_ATTRIBUTES* attributes, ObjectSecurity& out) {
  out = default_security();
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return ERROR_SUCCESS;
  const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return ERROR_INVALID_SECURITY_DESCR;
  const void* owner = nullptr;
  const ACL* dacl = nullptr;
  if (descriptor->Control & SE_SELF_RELATIVE) {
    const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(attributes->lpSecurityDescriptor);
    const auto* base = static_cast<const BYTE*>(attributes->lpSecurityDescriptor);
    if (relative->Owner) owner = base + relative->Owner;
    if (relative->Dacl) dacl = reinterpret_cast<const ACL*>(base + relative->Dacl);
  } else {
    owner = descriptor->Owner;
    dacl = descriptor->Dacl;
  }
  if (owner) {
    if (!security::sid_is_valid(owner, SIZE_MAX)) return ERROR_INVALID_SECURITY_DESCR;
    out.owner = security::sid_to_text(owner);
  }
  if (descriptor->Control & SE_DACL_PRESENT) {
    if (dacl == nullptr) {
      out.has_dacl = false;
      out.dacl.clear();
    } else {
      auto entries = security::acl_entries(dacl);
      if (!entries) return ERROR_INVALID_ACL;
      out.dacl = std::move(*entries);
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::optional<std::vector<std::string>> parse_path(std::string_view path) {
  auto parts = split(path);
  if (parts.empty()) return std::nullopt;
  if (same_name(parts[0], kLocalMachine) || same_name(parts[0], "HKLM")) {
    parts[0] = kLocalMachine;
  } else if (same_name(parts[0], kCurrentUser) || same_name(parts[0], "HKCU")) {
    parts[0] = kCurrentUser;
  } else {
    return std::nullopt;
  }
  return parts;
}

bool key_exists(const std::vector<std::string>& path) {
  std::lock_guard lock(store_mutex());
  return locate(path).has_value();
}

void create_key(const std::vector<std::string>& path, const ObjectSecurity* security) {
  std::lock_guard lock(store_mutex());
  create_path(path, security ? *security : default_security());
}

bool delete_tree(const std::vector<std::string>& path) {
  std::lock_guard lock(store_mutex());
  auto folder = locate(path);
  if (!folder || path.size() < 2) return false;
  fs::remove_all(*folder);
  return true;
}

std::optional<Value> read_value(const std::vector<std::string>& path, std::string_view name) {
  std::lock_guard lock(store_mutex());
  auto folder = locate(path);
  if (!folder) return std::nullopt;
  for (auto& [stored_name, value] : load_values(*folder)) {
    if (same_name(stored_name, name)) return value;
  }
  return std::nullopt;
}

bool write_value(const std::vector<std::string>& path, std::string_view name, const Value& value) {
  std::lock_guard lock(store_mutex());
  auto folder = locate(path);
  if (!folder) return false;
  auto values = load_values(*folder);
  auto it = std::find_if(values.begin(), values.end(), [&](const auto& entry) { return same_name(entry.first, name); });
  if (it != values.end()) {
    it->second = value;
  } else {
    values.emplace_back(std::string(name), value);
  }
  save_values(*folder, values);
  return true;
}

std::optional<ObjectSecurity> read_security(const std::vector<std::string>& path) {
  std::lock_guard lock(store_mutex());
  auto folder = locate(path);
  if (!folder) return std::nullopt;
  auto stored = load_security(*folder);
  if (!stored) return std::nullopt;
  return stored->security;
}

bool write_security(const std::vector<std::string>& path, const ObjectSecurity& security) {
  std::lock_guard lock(store_mutex());
  auto folder = locate(path);
  if (!folder) return false;
  auto stored = load_security(*folder);
  save_security(*folder, StoredSecurity{stored ? stored->serial : new_serial(), security});
  return true;
}

DWORD security_of_handle(HKEY key, ACCESS_MASK required, ObjectSecurity& out) {
  std::lock_guard lock(store_mutex());
  OpenKey open;
  fs::path folder;
  if (DWORD status = resolve(key, open, folder); status != ERROR_SUCCESS) return status;
  if ((open.access & required) != required) return ERROR_ACCESS_DENIED;
  auto stored = load_security(folder);
  if (!stored) return ERROR_KEY_DELETED;
  out = stored->security;
  return ERROR_SUCCESS;
}

}  // namespace platform::registry

using namespace platform::registry;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (auto fault = platform::take_fault("RegOpenKeyExW")) return static_cast<LSTATUS>(*fault);
  (void)ulOptions;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::lock_guard lock(store_mutex());
  OpenKey parent;
  fs::path folder;
  if (DWORD status = resolve(hKey, parent, folder); status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  auto path = joined(parent.path, lpSubKey);
  auto found = locate(path);
  if (!found) return ERROR_FILE_NOT_FOUND;
  *phkResult = open_handle(std::move(path), samDesired, *found);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  if (auto fault = platform::take_fault("RegCreateKeyExW")) return static_cast<LSTATUS>(*fault);
  (void)Reserved;
  (void)lpClass;
  (void)dwOptions;  // volatile keys are kept like the others; nothing here reboots
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::lock_guard lock(store_mutex());
  OpenKey parent;
  fs::path folder;
  if (DWORD status = resolve(hKey, parent, folder); status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  auto path = joined(parent.path, lpSubKey);
  if (auto existing = locate(path)) {
    // An existing key is only opened: the caller's security does not replace its own.
    *phkResult = open_handle(std::move(path), samDesired, *existing);
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  platform::security::ObjectSecurity security;
  if (DWORD status = security_from_attributes(lpSecurityAttributes, security); status != ERROR_SUCCESS) {
    return static_cast<LSTATUS>(status);
  }
  auto [created, is_new] = create_path(path, security);
  *phkResult = open_handle(std::move(path), samDesired, created);
  if (lpdwDisposition) *lpdwDisposition = is_new ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (auto fault = platform::take_fault("RegQueryValueExW")) return static_cast<LSTATUS>(*fault);
  (void)lpReserved;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(store_mutex());
  OpenKey open;
  fs::path folder;
  if (DWORD status = resolve(hKey, open, folder); status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  if (!(open.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto value = read_value(open.path, value_name(lpValueName));
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = value->type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(value->data.size());
  if (lpData == nullptr) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::copy(value->data.begin(), value->data.end(), lpData);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if (auto fault = platform::take_fault("RegSetValueExW")) return static_cast<LSTATUS>(*fault);
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(store_mutex());
  OpenKey open;
  fs::path folder;
  if (DWORD status = resolve(hKey, open, folder); status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  if (!(open.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Value value{dwType, lpData ? std::vector<BYTE>(lpData, lpData + cbData) : std::vector<BYTE>{}};
  write_value(open.path, value_name(lpValueName), value);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (auto fault = platform::take_fault("RegDeleteKeyW")) return static_cast<LSTATUS>(*fault);
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(store_mutex());
  OpenKey parent;
  fs::path folder;
  if (DWORD status = resolve(hKey, parent, folder); status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  auto path = joined(parent.path, lpSubKey);
  // The roots cannot be deleted.
  if (path.size() < 2) return ERROR_ACCESS_DENIED;
  auto found = locate(path);
  if (!found) return ERROR_FILE_NOT_FOUND;
  std::error_code error;
  if (!fs::is_empty(*found / "keys", error) && !error) return ERROR_ACCESS_DENIED;
  fs::remove_all(*found, error);
  return error ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (auto fault = platform::take_fault("RegCloseKey")) return static_cast<LSTATUS>(*fault);
  if (predefined_root(hKey)) return ERROR_SUCCESS;
  std::lock_guard lock(store_mutex());
  return platform::remove_handle_as<OpenKey>(reinterpret_cast<platform::HandleValue>(hKey)) ? ERROR_SUCCESS
                                                                                           : ERROR_INVALID_HANDLE;
}
