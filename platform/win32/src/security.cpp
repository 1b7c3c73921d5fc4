// Security family of the stand-in: SIDs, ACLs, security descriptors, GetSecurityInfo on
// registry keys and the local system's account names.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "aclapi.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "win32_controls/registry_store.h"
#include "win32_controls/security_store.h"
#include "platform/core/text.h"

namespace platform::security {
namespace {

constexpr std::size_t kSidHeaderSize = offsetof(SID, SubAuthority);
constexpr std::size_t kAceHeaderSize = offsetof(ACCESS_ALLOWED_ACE, SidStart);

// A SID may lie anywhere in a buffer (inside event data, say), so its fields are read as
// bytes, never through a SID* that may be misaligned.
BYTE sid_byte(const void* sid, std::size_t offset) { return static_cast<const BYTE*>(sid)[offset]; }
BYTE sid_revision(const void* sid) { return sid_byte(sid, offsetof(SID, Revision)); }
BYTE sid_sub_authority_count(const void* sid) { return sid_byte(sid, offsetof(SID, SubAuthorityCount)); }

std::size_t sid_length(const void* sid) { return kSidHeaderSize + sizeof(DWORD) * sid_sub_authority_count(sid); }

std::mutex& accounts_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::filesystem::path accounts_file() { return platform::target_root() / "Security" / "accounts"; }

// The well-known accounts every Windows machine names the same way.
struct WellKnown {
  const char* sid;
  const char16_t* name;
  const char16_t* domain;
  SID_NAME_USE use;
};
constexpr WellKnown kWellKnown[] = {
    {"S-1-1-0", u"Everyone", u"", SidTypeWellKnownGroup},
    {"S-1-5-18", u"SYSTEM", u"NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-19", u"LOCAL SERVICE", u"NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-20", u"NETWORK SERVICE", u"NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-32-544", u"Administrators", u"BUILTIN", SidTypeAlias},
    {"S-1-5-32-545", u"Users", u"BUILTIN", SidTypeAlias},
};

}  // namespace

std::optional<std::vector<BYTE>> sid_from_text(std::string_view text) {
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return std::nullopt;
  std::vector<std::uint64_t> numbers;
  std::size_t pos = 2;
  while (true) {
    std::size_t end = text.find('-', pos);
    std::string_view part = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (part.empty() || part.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      if (value > (UINT64_MAX - 9) / 10) return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    numbers.push_back(value);
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  // Revision, authority, then 1..15 sub-authorities.
  if (numbers.size() < 3 || numbers.size() > 2 + SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  if (numbers[0] != SID_REVISION || numbers[1] >= (std::uint64_t{1} << 48)) return std::nullopt;
  const std::size_t count = numbers.size() - 2;
  std::vector<BYTE> bytes(kSidHeaderSize + sizeof(DWORD) * count);
  bytes[0] = SID_REVISION;
  bytes[1] = static_cast<BYTE>(count);
  for (int i = 0; i < 6; ++i) bytes[2 + static_cast<std::size_t>(i)] = static_cast<BYTE>(numbers[1] >> (8 * (5 - i)));
  for (std::size_t i = 0; i < count; ++i) {
    if (numbers[2 + i] > UINT32_MAX) return std::nullopt;
    const DWORD sub = static_cast<DWORD>(numbers[2 + i]);
    std::memcpy(bytes.data() + kSidHeaderSize + i * sizeof(DWORD), &sub, sizeof sub);
  }
  return bytes;
}

std::string sid_to_text(const void* sid) {
  std::uint64_t authority = 0;
  for (std::size_t i = 0; i < sizeof(SID_IDENTIFIER_AUTHORITY); ++i) {
    authority = (authority << 8) | sid_byte(sid, offsetof(SID, IdentifierAuthority) + i);
  }
  std::string text = "S-" + std::to_string(sid_revision(sid)) + "-" + std::to_string(authority);
  const BYTE* subs = static_cast<const BYTE*>(sid) + kSidHeaderSize;
  const BYTE count = sid_sub_authority_count(sid);
  for (BYTE i = 0; i < count; ++i) {
    DWORD sub;
    std::memcpy(&sub, subs + i * sizeof(DWORD), sizeof sub);
    text += "-" + std::to_string(sub);
  }
  return text;
}

bool sid_is_valid(const void* sid, std::size_t available) {
  if (sid == nullptr || available < kSidHeaderSize) return false;
  if (sid_revision(sid) != SID_REVISION || sid_sub_authority_count(sid) > SID_MAX_SUB_AUTHORITIES) return false;
  return sid_length(sid) <= available;
}

std::optional<std::vector<AceRecord>> acl_entries(const ACL* acl) {
  if (acl == nullptr) return std::vector<AceRecord>{};
  if ((acl->AclRevision != ACL_REVISION && acl->AclRevision != 4) || acl->AclSize < sizeof(ACL)) {
    return std::nullopt;
  }
  std::vector<AceRecord> entries;
  const BYTE* base = reinterpret_cast<const BYTE*>(acl);
  std::size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    // Every size is checked against what the ACL says it holds before it is trusted.
    if (acl->AclSize - offset < sizeof(ACE_HEADER)) return std::nullopt;
    ACE_HEADER header;
    std::memcpy(&header, base + offset, sizeof header);
    if (header.AceSize < kAceHeaderSize || header.AceSize > acl->AclSize - offset) return std::nullopt;
    if (header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_DENIED_ACE_TYPE) return std::nullopt;
    const BYTE* sid = base + offset + kAceHeaderSize;
    if (!sid_is_valid(sid, header.AceSize - kAceHeaderSize)) return std::nullopt;
    AceRecord entry;
    entry.type = header.AceType;
    entry.flags = header.AceFlags;
    std::memcpy(&entry.mask, base + offset + offsetof(ACCESS_ALLOWED_ACE, Mask), sizeof entry.mask);
    entry.sid = sid_to_text(sid);
    entries.push_back(std::move(entry));
    offset += header.AceSize;
  }
  return entries;
}

std::vector<BYTE> build_acl(const std::vector<AceRecord>& entries) {
  std::vector<std::vector<BYTE>> sids;
  std::size_t size = sizeof(ACL);
  for (const auto& entry : entries) {
    auto sid = sid_from_text(entry.sid);
    if (!sid) sid = sid_from_text(kAdministratorsSid);  // only stored, checked texts reach here
    size += kAceHeaderSize + sid->size();
    sids.push_back(std::move(*sid));
  }
  std::vector<BYTE> bytes(size);
  ACL header{ACL_REVISION, 0, static_cast<WORD>(size), static_cast<WORD>(entries.size()), 0};
  std::memcpy(bytes.data(), &header, sizeof header);
  std::size_t offset = sizeof(ACL);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ACE_HEADER ace{entries[i].type, entries[i].flags, static_cast<WORD>(kAceHeaderSize + sids[i].size())};
    std::memcpy(bytes.data() + offset, &ace, sizeof ace);
    std::memcpy(bytes.data() + offset + offsetof(ACCESS_ALLOWED_ACE, Mask), &entries[i].mask, sizeof(DWORD));
    std::memcpy(bytes.data() + offset + kAceHeaderSize, sids[i].data(), sids[i].size());
    offset += ace.AceSize;
  }
  return bytes;
}

std::optional<Account> lookup_account(const std::string& sid_text) {
  for (const auto& known : kWellKnown) {
    if (sid_text == known.sid) return Account{known.name, known.domain, known.use};
  }
  std::lock_guard lock(accounts_mutex());
  std::ifstream in(accounts_file());
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.find('\t');
    if (tab != std::string::npos && line.compare(0, tab, sid_text) == 0) {
      return Account{platform::utf8_to_utf16(line.substr(tab + 1)), platform::utf8_to_utf16(kMachineDomainName), SidTypeUser};
    }
  }
  return std::nullopt;
}

void add_local_account(const std::string& sid_text, const std::string& name) {
  std::lock_guard lock(accounts_mutex());
  std::vector<std::string> lines;
  {
    std::ifstream in(accounts_file());
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, line.find('\t'), sid_text) != 0) lines.push_back(line);
    }
  }
  lines.push_back(sid_text + "\t" + name);
  std::filesystem::create_directories(accounts_file().parent_path());
  std::ofstream out(accounts_file(), std::ios::trunc);
  for (const auto& line : lines) out << line << '\n';
}

}  // namespace platform::security

using namespace platform::security;

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                              DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                              DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
  PLATFORM_FAIL_IF_ARMED("AllocateAndInitializeSid", FALSE);
  if (pIdentifierAuthority == nullptr || pSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (nSubAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                         nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  const std::size_t length = offsetof(SID, SubAuthority) + sizeof(DWORD) * nSubAuthorityCount;
  auto* sid = static_cast<SID*>(std::calloc(1, std::max(length, sizeof(SID))));
  if (sid == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = nSubAuthorityCount;
  sid->IdentifierAuthority = *pIdentifierAuthority;
  std::memcpy(reinterpret_cast<BYTE*>(sid) + offsetof(SID, SubAuthority), subs, sizeof(DWORD) * nSubAuthorityCount);
  *pSid = sid;
  return TRUE;
}

PVOID FreeSid(PSID pSid) {
  PLATFORM_FAIL_IF_ARMED("FreeSid", pSid);
  std::free(pSid);
  return nullptr;
}

BOOL IsValidSid(PSID pSid) {
  PLATFORM_FAIL_IF_ARMED("IsValidSid", FALSE);
  // Checks the revision and the sub-authority count; the caller vouches for the length.
  return sid_is_valid(pSid, SIZE_MAX) ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID pSid) {
  // Undefined for an invalid SID on Windows; 0 here rather than a read past it.
  if (!sid_is_valid(pSid, SIZE_MAX)) return 0;
  return static_cast<DWORD>(sid_length(pSid));
}

BOOL LookupAccountSidW(LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName, LPWSTR ReferencedDomainName,
                       LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
  PLATFORM_FAIL_IF_ARMED("LookupAccountSidW", FALSE);
  // Only the local system is known; a remote name is looked up locally as well, since the
  // virtual target has no network of machines.
  (void)lpSystemName;
  if (cchName == nullptr || cchReferencedDomainName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!sid_is_valid(Sid, SIZE_MAX)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  auto account = lookup_account(sid_to_text(Sid));
  if (!account) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const auto name_needed = static_cast<DWORD>(account->name.size() + 1);
  const auto domain_needed = static_cast<DWORD>(account->domain.size() + 1);
  const DWORD name_room = Name ? *cchName : 0;
  const DWORD domain_room = ReferencedDomainName ? *cchReferencedDomainName : 0;
  if (name_room < name_needed || domain_room < domain_needed) {
    *cchName = name_needed;
    *cchReferencedDomainName = domain_needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(account->name.begin(), account->name.end(), Name);
  Name[account->name.size()] = u'\0';
  std::copy(account->domain.begin(), account->domain.end(), ReferencedDomainName);
  ReferencedDomainName[account->domain.size()] = u'\0';
  *cchName = name_needed - 1;
  *cchReferencedDomainName = domain_needed - 1;
  if (peUse) *peUse = account->use;
  return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  PLATFORM_FAIL_IF_ARMED("InitializeSecurityDescriptor", FALSE);
  if (pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *descriptor = SECURITY_DESCRIPTOR{};
  descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
  PLATFORM_FAIL_IF_ARMED("SetSecurityDescriptorDacl", FALSE);
  if (pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (descriptor->Control & SE_SELF_RELATIVE) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  descriptor->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (bDaclPresent) {
    descriptor->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) descriptor->Control |= SE_DACL_DEFAULTED;
    descriptor->Dacl = pDacl;
  } else {
    descriptor->Dacl = nullptr;
  }
  return TRUE;
}

DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                       PACL* NewAcl) {
  if (auto fault = platform::take_fault("SetEntriesInAclW")) return *fault;
  if (NewAcl == nullptr || (cCountOfExplicitEntries > 0 && pListOfExplicitEntries == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  auto entries = acl_entries(OldAcl);
  if (!entries) return ERROR_INVALID_ACL;
  for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
    const EXPLICIT_ACCESS_W& entry = pListOfExplicitEntries[i];
    // Trustees by name would need a name resolver the virtual target does not have.
    if (entry.Trustee.TrusteeForm != TRUSTEE_IS_SID || entry.Trustee.pMultipleTrustee != nullptr) {
      return ERROR_INVALID_PARAMETER;
    }
    const void* sid = entry.Trustee.ptstrName;
    if (!sid_is_valid(sid, SIZE_MAX)) return ERROR_INVALID_SID;
    const std::string sid_text = sid_to_text(sid);
    const BYTE flags = static_cast<BYTE>(entry.grfInheritance & (VALID_INHERIT_FLAGS & ~INHERITED_ACE));
    auto of_trustee = [&](const AceRecord& ace) { return ace.sid == sid_text && !(ace.flags & INHERITED_ACE); };
    auto merge = [&](BYTE type) {
      auto it = std::find_if(entries->begin(), entries->end(), [&](const AceRecord& ace) {
        return of_trustee(ace) && ace.type == type && ace.flags == flags;
      });
      if (it != entries->end()) {
        it->mask |= entry.grfAccessPermissions;
      } else {
        entries->push_back(AceRecord{type, flags, entry.grfAccessPermissions, sid_text});
      }
    };
    switch (entry.grfAccessMode) {
      case NOT_USED_ACCESS:
        break;
      case SET_ACCESS:
        std::erase_if(*entries, of_trustee);
        entries->push_back(AceRecord{ACCESS_ALLOWED_ACE_TYPE, flags, entry.grfAccessPermissions, sid_text});
        break;
      case GRANT_ACCESS:
        merge(ACCESS_ALLOWED_ACE_TYPE);
        break;
      case DENY_ACCESS:
        merge(ACCESS_DENIED_ACE_TYPE);
        break;
      case REVOKE_ACCESS:
        std::erase_if(*entries, of_trustee);
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  // Canonical order: explicit denials, explicit grants, then inherited entries.
  std::stable_sort(entries->begin(), entries->end(), [](const AceRecord& a, const AceRecord& b) {
    auto rank = [](const AceRecord& ace) { return (ace.flags & INHERITED_ACE) ? 2 : ace.type == ACCESS_DENIED_ACE_TYPE ? 0 : 1; };
    return rank(a) < rank(b);
  });
  const auto bytes = build_acl(*entries);
  if (bytes.size() > 0xFFFF) return ERROR_INVALID_PARAMETER;
  auto* acl = static_cast<ACL*>(LocalAlloc(LPTR, bytes.size()));
  if (acl == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(acl, bytes.data(), bytes.size());
  *NewAcl = acl;
  return ERROR_SUCCESS;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                      PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  if (auto fault = platform::take_fault("GetSecurityInfo")) return *fault;
  // Registry keys are the only securable objects the system asks about.
  if (ObjectType != SE_REGISTRY_KEY) return ERROR_INVALID_PARAMETER;
  if (SecurityInfo & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  const bool wants_pointers = ppsidOwner || ppsidGroup || ppDacl || ppSacl;
  if (wants_pointers && ppSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;

  ObjectSecurity security;
  const DWORD status = platform::registry::security_of_handle(static_cast<HKEY>(handle), READ_CONTROL, security);
  if (status != ERROR_SUCCESS) return status;

  // Self-relative descriptor: header, owner SID, group SID, DACL, each at an offset.
  std::vector<BYTE> owner;
  std::vector<BYTE> group;
  std::vector<BYTE> dacl;
  if (SecurityInfo & OWNER_SECURITY_INFORMATION) {
    owner = sid_from_text(security.owner).value_or(*sid_from_text(kAdministratorsSid));
  }
  if (SecurityInfo & GROUP_SECURITY_INFORMATION) group = *sid_from_text(kLocalSystemSid);
  if ((SecurityInfo & DACL_SECURITY_INFORMATION) && security.has_dacl) dacl = build_acl(security.dacl);

  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE;
  if (SecurityInfo & DACL_SECURITY_INFORMATION) header.Control |= SE_DACL_PRESENT;
  DWORD offset = sizeof header;
  auto place = [&offset](const std::vector<BYTE>& part) {
    if (part.empty()) return DWORD{0};
    const DWORD at = offset;
    offset += static_cast<DWORD>(part.size());
    return at;
  };
  header.Owner = place(owner);
  header.Group = place(group);
  header.Dacl = place(dacl);

  auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, offset));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, &header, sizeof header);
  if (header.Owner) std::memcpy(block + header.Owner, owner.data(), owner.size());
  if (header.Group) std::memcpy(block + header.Group, group.data(), group.size());
  if (header.Dacl) std::memcpy(block + header.Dacl, dacl.data(), dacl.size());

  if (ppsidOwner) *ppsidOwner = header.Owner ? block + header.Owner : nullptr;
  if (ppsidGroup) *ppsidGroup = header.Group ? block + header.Group : nullptr;
  if (ppDacl) *ppDacl = header.Dacl ? reinterpret_cast<PACL>(block + header.Dacl) : nullptr;
  if (ppSacl) *ppSacl = nullptr;
  if (ppSecurityDescriptor) {
    *ppSecurityDescriptor = block;
  } else {
    LocalFree(block);
  }
  return ERROR_SUCCESS;
}
