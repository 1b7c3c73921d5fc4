// Internal to the platform: the plain-data view of SIDs, ACLs and accounts that the
// registry family stores on disk, the security family hands out in Windows layout and
// platform/sim shows to tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "securitybaseapi.h"

namespace platform::security {

inline constexpr const char* kAdministratorsSid = "S-1-5-32-544";
inline constexpr const char* kUsersSid = "S-1-5-32-545";
inline constexpr const char* kLocalSystemSid = "S-1-5-18";
inline constexpr const char* kEveryoneSid = "S-1-1-0";

// The name under which the machine's own accounts are found, and its domain SID prefix.
inline constexpr const char* kMachineDomainName = "CONDUIT-TARGET";
inline constexpr const char* kMachineDomainSid = "S-1-5-21-3623811015-3361044348-30300820";

// One ACE as plain data.
struct AceRecord {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  DWORD mask = 0;
  std::string sid;  // "S-1-..."
};

// What a securable object keeps: its owner and its DACL (has_dacl false = a NULL DACL,
// which grants everyone everything).
struct ObjectSecurity {
  std::string owner = kAdministratorsSid;
  bool has_dacl = true;
  std::vector<AceRecord> dacl;
};

// SID bytes from "S-R-I-S1-S2..." text; nullopt for text that is not a SID.
std::optional<std::vector<BYTE>> sid_from_text(std::string_view text);
// "S-1-..." text of a valid SID.
std::string sid_to_text(const void* sid);
// Checks a SID that may come from anywhere against `available` bytes.
bool sid_is_valid(const void* sid, std::size_t available);

// The ACEs of an ACL, after checking its header and every ACE against the ACL's size;
// nullopt for a malformed ACL. Types other than allowed and denied are refused.
std::optional<std::vector<AceRecord>> acl_entries(const ACL* acl);
// An ACL in Windows layout holding `entries` in the order given.
std::vector<BYTE> build_acl(const std::vector<AceRecord>& entries);

// A name the local system knows for a SID, with its domain and kind.
struct Account {
  std::u16string name;
  std::u16string domain;
  SID_NAME_USE use = SidTypeUnknown;
};
std::optional<Account> lookup_account(const std::string& sid_text);
// Adds (or renames) a local account of the machine; kept under the target root so that
// every process of the target knows it.
void add_local_account(const std::string& sid_text, const std::string& name);


}  // namespace platform::security
