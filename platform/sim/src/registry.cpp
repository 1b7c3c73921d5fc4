#include "sim/registry.h"

#include <stdexcept>

#include "win32_controls/registry_store.h"
#include "win32_controls/security_store.h"
#include "platform/core/text.h"

namespace sim {
namespace {

namespace registry = platform::registry;
namespace security = platform::security;

std::vector<std::string> key_path(const std::string& path) {
  auto parsed = registry::parse_path(path);
  if (!parsed) throw std::invalid_argument("not a registry path: " + path);
  return *parsed;
}

std::string checked_sid(const std::string& sid_text) {
  auto sid = security::sid_from_text(sid_text);
  if (!sid) throw std::invalid_argument("not a SID: " + sid_text);
  return security::sid_to_text(reinterpret_cast<const SID*>(sid->data()));
}

security::ObjectSecurity security_of(const std::vector<std::string>& path) {
  auto current = registry::read_security(path);
  if (!current) throw std::runtime_error("registry key vanished");
  return *current;
}

}  // namespace

bool registry_key_exists(const std::string& path) { return registry::key_exists(key_path(path)); }

void create_registry_key(const std::string& path) { registry::create_key(key_path(path)); }

void delete_registry_key(const std::string& path) { registry::delete_tree(key_path(path)); }

void set_registry_value(const std::string& path, const std::string& name, std::uint32_t type,
                        const std::vector<std::uint8_t>& data) {
  const auto key = key_path(path);
  registry::create_key(key);
  registry::write_value(key, name, registry::Value{type, data});
}

void set_registry_dword(const std::string& path, const std::string& name, std::uint32_t value) {
  std::vector<std::uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  set_registry_value(path, name, REG_DWORD, data);
}

void set_registry_string(const std::string& path, const std::string& name, const std::string& value) {
  std::u16string wide = platform::utf8_to_utf16(value);
  wide.push_back(u'\0');
  std::vector<std::uint8_t> data;
  for (char16_t c : wide) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  set_registry_value(path, name, REG_SZ, data);
}

std::optional<RegistryValue> registry_value(const std::string& path, const std::string& name) {
  auto value = registry::read_value(key_path(path), name);
  if (!value) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

std::optional<std::uint32_t> registry_dword(const std::string& path, const std::string& name) {
  auto value = registry_value(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  std::uint32_t result = 0;
  for (int i = 3; i >= 0; --i) result = (result << 8) | value->data[static_cast<std::size_t>(i)];
  return result;
}

void set_registry_key_owner(const std::string& path, const std::string& sid_text) {
  const auto key = key_path(path);
  const auto owner = checked_sid(sid_text);
  registry::create_key(key);
  auto current = security_of(key);
  current.owner = owner;
  registry::write_security(key, current);
}

std::optional<std::string> registry_key_owner(const std::string& path) {
  auto current = registry::read_security(key_path(path));
  if (!current) return std::nullopt;
  return current->owner;
}

std::optional<std::vector<RegistryAce>> registry_key_dacl(const std::string& path) {
  auto current = registry::read_security(key_path(path));
  if (!current || !current->has_dacl) return std::nullopt;
  std::vector<RegistryAce> dacl;
  for (const auto& ace : current->dacl) dacl.push_back(RegistryAce{ace.sid, ace.mask, ace.type, ace.flags});
  return dacl;
}

void set_registry_key_dacl(const std::string& path, const std::vector<RegistryAce>& dacl) {
  const auto key = key_path(path);
  std::vector<security::AceRecord> entries;
  for (const auto& ace : dacl) {
    entries.push_back(security::AceRecord{ace.ace_type, ace.ace_flags, ace.access_mask, checked_sid(ace.sid)});
  }
  registry::create_key(key);
  auto current = security_of(key);
  current.has_dacl = true;
  current.dacl = std::move(entries);
  registry::write_security(key, current);
}

std::string machine_domain_name() { return security::kMachineDomainName; }

std::string add_local_account(const std::string& name, std::uint32_t rid) {
  const std::string sid = std::string(security::kMachineDomainSid) + "-" + std::to_string(rid);
  security::add_local_account(sid, name);
  return sid;
}

}  // namespace sim
