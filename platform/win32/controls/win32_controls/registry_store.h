// Internal to the platform: the registry's persistent store, shared by the registry family,
// GetSecurityInfo of the security family and platform/sim.
//
// Layout below the target root: Registry/<ROOT>/ is a key folder, with the root names
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. A key folder holds "values" (its values),
// "security" (owner and DACL) and "keys/" (one folder per subkey, named after the subkey
// with '%', '/' and leading dots escaped as %XX). Names are matched case-insensitively.
//
// Thread safety: every function takes the store's lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32_controls/security_store.h"
#include "winreg.h"

namespace platform::registry {

struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// "HKEY_LOCAL_MACHINE\\SOFTWARE\\X" split at '\' (empty parts dropped); the root must be
// one of the predefined names (HKLM and HKCU are accepted too). nullopt otherwise.
std::optional<std::vector<std::string>> parse_path(std::string_view path);

bool key_exists(const std::vector<std::string>& path);
// Creates the key and any missing parents; new keys get `security` (or the default one).
void create_key(const std::vector<std::string>& path, const security::ObjectSecurity* security = nullptr);
// Removes the key with all its subkeys; false when it does not exist.
bool delete_tree(const std::vector<std::string>& path);

std::optional<Value> read_value(const std::vector<std::string>& path, std::string_view name);
// The key must exist.
bool write_value(const std::vector<std::string>& path, std::string_view name, const Value& value);

std::optional<security::ObjectSecurity> read_security(const std::vector<std::string>& path);
bool write_security(const std::vector<std::string>& path, const security::ObjectSecurity& security);

// The security of the key behind an open handle, for GetSecurityInfo. `required` is checked
// against the handle's granted access. Returns a Win32 error code.
DWORD security_of_handle(HKEY key, ACCESS_MASK required, security::ObjectSecurity& out);

}  // namespace platform::registry
