#include <cstring>
#include <vector>
#include <string>

#include <gtest/gtest.h>

#include "aclapi.h"
#include "sim/registry.h"
#include "sim/sim.h"
#include "winreg.h"

namespace {

constexpr const char* kTessera = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera";

// The bytes of a SID: revision, count, authority, then `count` 32-bit sub-authorities.
std::size_t SidLength(const void* sid) { return 8 + 4 * static_cast<const BYTE*>(sid)[1]; }
bool EqualSid(const void* a, const void* b) {
  return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone_));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                         0, 0, &admins_));
  }
  void TearDown() override {
    FreeSid(everyone_);
    FreeSid(admins_);
  }

  static EXPLICIT_ACCESS_W entry(PSID sid, DWORD access, ACCESS_MODE mode, TRUSTEE_TYPE type = TRUSTEE_IS_GROUP) {
    EXPLICIT_ACCESS_W e{};
    e.grfAccessPermissions = access;
    e.grfAccessMode = mode;
    e.grfInheritance = NO_INHERITANCE;
    e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    e.Trustee.TrusteeType = type;
    e.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return e;
  }

  static const ACCESS_ALLOWED_ACE* ace_at(const ACL* acl, int index) {
    const BYTE* at = reinterpret_cast<const BYTE*>(acl) + sizeof(ACL);
    for (int i = 0; i < index; ++i) at += reinterpret_cast<const ACE_HEADER*>(at)->AceSize;
    return reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
  }

  PSID everyone_ = nullptr;
  PSID admins_ = nullptr;
};

TEST_F(SecurityTest, SidsHaveTheWindowsLayout) {
  const BYTE expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
  ASSERT_EQ(SidLength(admins_), sizeof expected);
  EXPECT_EQ(std::memcmp(admins_, expected, sizeof expected), 0);
  EXPECT_EQ(SidLength(everyone_), 12u);
  EXPECT_FALSE(EqualSid(admins_, everyone_));

  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID again = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &again));
  EXPECT_TRUE(EqualSid(admins_, again));
  EXPECT_EQ(FreeSid(again), nullptr);

  PSID too_long = nullptr;
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &too_long));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST_F(SecurityTest, ValidSidsKnowTheirLength) {
  EXPECT_TRUE(IsValidSid(admins_));
  EXPECT_EQ(GetLengthSid(admins_), 16u);
  EXPECT_EQ(GetLengthSid(everyone_), 12u);
  BYTE revision2[] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  BYTE sixteen_subs[8 + 4 * 16] = {1, 16, 0, 0, 0, 0, 0, 5};
  EXPECT_FALSE(IsValidSid(revision2));
  EXPECT_FALSE(IsValidSid(sixteen_subs));
  EXPECT_EQ(GetLengthSid(sixteen_subs), 0u);
}

// A SID inside event data lies wherever the data puts it: read at an odd address it answers
// as an aligned one does (the sanitizer build would stop on a misaligned read).
TEST_F(SecurityTest, ASidAtAnOddAddressIsReadAsItsBytes) {
  std::vector<BYTE> buffer(1 + GetLengthSid(admins_) + 3, 0);
  std::memcpy(buffer.data() + 1, admins_, GetLengthSid(admins_));
  PSID odd = buffer.data() + 1;
  EXPECT_TRUE(IsValidSid(odd));
  EXPECT_EQ(GetLengthSid(odd), 16u);
  WCHAR name[64];
  WCHAR domain[64];
  DWORD nameLength = 64;
  DWORD domainLength = 64;
  SID_NAME_USE use;
  EXPECT_TRUE(LookupAccountSidW(nullptr, odd, name, &nameLength, domain, &domainLength, &use));
}

TEST_F(SecurityTest, SetEntriesInAclLaysOutEntriesInWindowsFormat) {
  EXPLICIT_ACCESS_W entries[] = {entry(everyone_, KEY_READ, SET_ACCESS, TRUSTEE_IS_WELL_KNOWN_GROUP),
                                 entry(admins_, KEY_ALL_ACCESS, SET_ACCESS)};
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(acl->AclRevision, ACL_REVISION);
  EXPECT_EQ(acl->AceCount, 2);
  EXPECT_EQ(acl->AclSize, 8 + (8 + 12) + (8 + 16));

  const auto* first = ace_at(acl, 0);
  EXPECT_EQ(first->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(first->Header.AceFlags, 0);
  EXPECT_EQ(first->Header.AceSize, 20);
  EXPECT_EQ(first->Mask, static_cast<DWORD>(KEY_READ));
  EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&first->SidStart), everyone_));
  const auto* second = ace_at(acl, 1);
  EXPECT_EQ(second->Header.AceSize, 24);
  EXPECT_EQ(second->Mask, static_cast<DWORD>(KEY_ALL_ACCESS));
  EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&second->SidStart), admins_));
  EXPECT_EQ(LocalFree(acl), nullptr);
}

TEST_F(SecurityTest, SetEntriesInAclMergesIntoAnOldAclInCanonicalOrder) {
  EXPLICIT_ACCESS_W initial[] = {entry(everyone_, KEY_QUERY_VALUE, GRANT_ACCESS),
                                 entry(admins_, KEY_READ, GRANT_ACCESS)};
  PACL old_acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(2, initial, nullptr, &old_acl), static_cast<DWORD>(ERROR_SUCCESS));

  EXPLICIT_ACCESS_W changes[] = {entry(everyone_, KEY_NOTIFY, GRANT_ACCESS),   // merged into its grant
                                 entry(admins_, KEY_ALL_ACCESS, SET_ACCESS),  // replaces its grant
                                 entry(everyone_, KEY_SET_VALUE, DENY_ACCESS)};
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(3, changes, old_acl, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(acl->AceCount, 3);
  EXPECT_EQ(ace_at(acl, 0)->Header.AceType, ACCESS_DENIED_ACE_TYPE);
  EXPECT_EQ(ace_at(acl, 0)->Mask, static_cast<DWORD>(KEY_SET_VALUE));
  EXPECT_EQ(ace_at(acl, 1)->Mask, static_cast<DWORD>(KEY_QUERY_VALUE | KEY_NOTIFY));
  EXPECT_EQ(ace_at(acl, 2)->Mask, static_cast<DWORD>(KEY_ALL_ACCESS));
  EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&ace_at(acl, 2)->SidStart), admins_));

  EXPLICIT_ACCESS_W revoke = entry(everyone_, 0, REVOKE_ACCESS);
  PACL revoked = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &revoke, acl, &revoked), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(revoked->AceCount, 1);
  LocalFree(old_acl);
  LocalFree(acl);
  LocalFree(revoked);
}

TEST_F(SecurityTest, SetEntriesInAclRejectsBadInputAndArmedFaults) {
  EXPLICIT_ACCESS_W by_name = entry(everyone_, KEY_READ, SET_ACCESS);
  by_name.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  PACL acl = nullptr;
  EXPECT_EQ(SetEntriesInAclW(1, &by_name, nullptr, &acl), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // An old ACL whose entry claims more bytes than the ACL holds.
  BYTE broken[sizeof(ACL) + 8] = {ACL_REVISION, 0, sizeof broken, 0, 1, 0, 0, 0, ACCESS_ALLOWED_ACE_TYPE, 0, 64, 0};
  EXPLICIT_ACCESS_W good = entry(admins_, KEY_READ, SET_ACCESS);
  EXPECT_EQ(SetEntriesInAclW(1, &good, reinterpret_cast<PACL>(broken), &acl), static_cast<DWORD>(ERROR_INVALID_ACL));

  sim::fail_next("SetEntriesInAclW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SetEntriesInAclW(1, &good, nullptr, &acl), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  ASSERT_EQ(SetEntriesInAclW(1, &good, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(acl);
}

TEST_F(SecurityTest, SecurityDescriptorTakesADacl) {
  SECURITY_DESCRIPTOR descriptor;
  EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(descriptor.Revision, SECURITY_DESCRIPTOR_REVISION);
  EXPECT_EQ(SECURITY_DESCRIPTOR_MIN_LENGTH, sizeof(SECURITY_DESCRIPTOR));

  ACL acl{ACL_REVISION, 0, sizeof(ACL), 0, 0};
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
  EXPECT_EQ(descriptor.Control & SE_DACL_PRESENT, SE_DACL_PRESENT);
  EXPECT_EQ(descriptor.Dacl, &acl);

  sim::fail_next("InitializeSecurityDescriptor", 1, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  sim::fail_next("SetSecurityDescriptorDacl", 1, ERROR_INVALID_SECURITY_DESCR);
  EXPECT_FALSE(SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

TEST_F(SecurityTest, GetSecurityInfoReportsOwnerAndDaclOfAKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(EqualSid(owner, admins_));  // the default owner of a LocalSystem process
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, sim::registry_key_dacl(kTessera)->size());
  const auto* block = static_cast<const BYTE*>(descriptor);
  EXPECT_GT(static_cast<const BYTE*>(owner), block);
  EXPECT_EQ(static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor)->Control & SE_SELF_RELATIVE,
            SE_SELF_RELATIVE);
  EXPECT_EQ(LocalFree(descriptor), nullptr);

  const std::string operator_sid = sim::add_local_account("Operator");
  sim::set_registry_key_owner(kTessera, operator_sid);
  ASSERT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(EqualSid(owner, admins_));
  LocalFree(descriptor);
  RegCloseKey(key);
}

TEST_F(SecurityTest, GetSecurityInfoFailsWithoutReadControlOrWhenArmed) {
  sim::create_registry_key(kTessera);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            nullptr),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_SUCCESS);
  sim::fail_next("GetSecurityInfo", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  RegCloseKey(key);
}

struct KnownAccount {
  const char* sid;
  std::u16string name;
  std::u16string domain;
};

TEST_F(SecurityTest, LookupAccountSidNamesWellKnownAndLocalAccounts) {
  const std::string operator_sid = sim::add_local_account("Operator");
  const std::string machine_name = sim::machine_domain_name();
  const std::u16string machine(machine_name.begin(), machine_name.end());
  const KnownAccount accounts[] = {
      {"S-1-1-0", u"Everyone", u""},
      {"S-1-5-32-544", u"Administrators", u"BUILTIN"},
      {"S-1-5-32-545", u"Users", u"BUILTIN"},
      {"S-1-5-18", u"SYSTEM", u"NT AUTHORITY"},
      {"S-1-5-19", u"LOCAL SERVICE", u"NT AUTHORITY"},
      {"S-1-5-20", u"NETWORK SERVICE", u"NT AUTHORITY"},
      {operator_sid.c_str(), u"Operator", machine},
  };
  for (const auto& account : accounts) {
    SCOPED_TRACE(account.sid);
    // The owner of a key is the handiest way to get the SID in binary form.
    sim::set_registry_key_owner(kTessera, account.sid);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_SUCCESS);
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr,
                              &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    RegCloseKey(key);

    WCHAR name[64];
    WCHAR domain[64];
    DWORD name_size = 64;
    DWORD domain_size = 64;
    SID_NAME_USE use{};
    ASSERT_TRUE(LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use));
    EXPECT_EQ(std::u16string(name), account.name);
    EXPECT_EQ(std::u16string(domain), account.domain);
    EXPECT_EQ(name_size, account.name.size());
    EXPECT_EQ(domain_size, account.domain.size());
    LocalFree(descriptor);
  }
}

TEST_F(SecurityTest, LookupAccountSidFollowsTheSizeProtocol) {
  DWORD name_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use{};
  EXPECT_FALSE(LookupAccountSidW(nullptr, admins_, nullptr, &name_size, nullptr, &domain_size, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(name_size, 15u);   // "Administrators" and its terminator
  EXPECT_EQ(domain_size, 8u);  // "BUILTIN" and its terminator

  std::u16string name(name_size, u'x');
  std::u16string domain(domain_size, u'x');
  domain_size -= 1;  // one short
  EXPECT_FALSE(LookupAccountSidW(nullptr, admins_, name.data(), &name_size, domain.data(), &domain_size, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(domain_size, 8u);

  domain.resize(domain_size);
  ASSERT_TRUE(LookupAccountSidW(nullptr, admins_, name.data(), &name_size, domain.data(), &domain_size, &use));
  EXPECT_EQ(name_size, 14u);
  EXPECT_EQ(domain_size, 7u);
  EXPECT_EQ(name.c_str(), std::u16string(u"Administrators"));
  EXPECT_EQ(use, SidTypeAlias);
}

TEST_F(SecurityTest, LookupAccountSidFailsForUnknownSidsAndWhenArmed) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID stranger = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1001, 0, 0, 0, &stranger));
  WCHAR name[64];
  WCHAR domain[64];
  DWORD name_size = 64;
  DWORD domain_size = 64;
  SID_NAME_USE use{};
  EXPECT_FALSE(LookupAccountSidW(nullptr, stranger, name, &name_size, domain, &domain_size, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
  FreeSid(stranger);

  sim::fail_next("LookupAccountSidW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(LookupAccountSidW(nullptr, admins_, name, &name_size, domain, &domain_size, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  sim::fail_next("AllocateAndInitializeSid", 1, ERROR_NOT_ENOUGH_MEMORY);
  PSID sid = nullptr;
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
