// The virtual target's registry and accounts, read and set directly by tests and the
// launcher, as an administrator would with the registry editor. Nothing here goes through
// fault injection.
//
// Paths name a key from its root: "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera" (HKLM and
// HKCU are accepted as root names). A path with another root throws std::invalid_argument.
// Keys created here get the default security: owner Administrators, SYSTEM and
// Administrators full control, Users read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

bool registry_key_exists(const std::string& path);
// Creates the key and any missing parents.
void create_registry_key(const std::string& path);
// Removes the key with all its subkeys; a missing key is not an error.
void delete_registry_key(const std::string& path);

// Values; the setters create the key when it is missing.
void set_registry_dword(const std::string& path, const std::string& name, std::uint32_t value);
void set_registry_string(const std::string& path, const std::string& name, const std::string& value);
void set_registry_value(const std::string& path, const std::string& name, std::uint32_t type,
                        const std::vector<std::uint8_t>& data);
// The value when it exists as a REG_DWORD of four bytes.
std::optional<std::uint32_t> registry_dword(const std::string& path, const std::string& name);

struct RegistryValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};
std::optional<RegistryValue> registry_value(const std::string& path, const std::string& name);

// The key's owner as SID text ("S-1-5-32-544"); setting it creates the key when missing.
// A SID text that is not a SID throws std::invalid_argument.
void set_registry_key_owner(const std::string& path, const std::string& sid_text);
std::optional<std::string> registry_key_owner(const std::string& path);

// One entry of a key's DACL as plain data.
struct RegistryAce {
  std::string sid;           // "S-1-1-0"
  std::uint32_t access_mask = 0;
  std::uint8_t ace_type = 0;  // ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1
  std::uint8_t ace_flags = 0;
  bool operator==(const RegistryAce&) const = default;
};
// The key's DACL in order; nullopt when the key is missing or has a NULL DACL.
std::optional<std::vector<RegistryAce>> registry_key_dacl(const std::string& path);
// Replaces the key's DACL (created when missing).
void set_registry_key_dacl(const std::string& path, const std::vector<RegistryAce>& dacl);

// The machine's domain name, under which its local accounts are found.
std::string machine_domain_name();
// Adds a local account of the machine with the relative id `rid` and returns its SID text
// ("S-1-5-21-<machine>-<rid>"). LookupAccountSidW names it from then on, in every process
// of the target.
std::string add_local_account(const std::string& name, std::uint32_t rid = 1001);

}  // namespace sim
