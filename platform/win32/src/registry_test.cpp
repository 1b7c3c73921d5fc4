#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "aclapi.h"
#include "sim/registry.h"
#include "sim/sim.h"
#include "winreg.h"

namespace {

constexpr const char* kTessera = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  HKEY create(const char16_t* sub_key, DWORD* disposition = nullptr, const SECURITY_ATTRIBUTES* attributes = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              attributes, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
};

TEST_F(RegistryTest, CreateMakesMissingParentsAndReportsDisposition) {
  DWORD disposition = 0;
  HKEY key = create(u"SOFTWARE\\Orvix\\Tessera", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(sim::registry_key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix"));
  EXPECT_TRUE(sim::registry_key_exists(kTessera));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  key = create(u"SOFTWARE\\Orvix\\Tessera", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, MachineKeysExistOnACleanMachine) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OpenFailsForMissingKeyAndBadArguments) {
  HKEY key = reinterpret_cast<HKEY>(std::uintptr_t{0x1234});
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(std::uintptr_t{0x4321}), u"X", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(std::uintptr_t{0x4321})), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, KeyAndValueNamesAreCaseInsensitive) {
  HKEY key = create(u"SOFTWARE\\Orvix\\Tessera");
  const DWORD port = 20950;
  ASSERT_EQ(RegSetValueExW(key, u"ETWConduit_PortNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\ORVIX\\tessera", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"etwconduit_portnumber", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 20950u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, QueryFollowsTheSizeProtocol) {
  sim::set_registry_string(kTessera, "Name", "Tessera");  // 8 UTF-16 units with terminator
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  BYTE small[4] = {};
  size = sizeof small;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  char16_t text[8] = {};
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"Tessera");

  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, small, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTrip) {
  HKEY key = create(u"SOFTWARE\\Orvix\\Tessera");
  const ULONGLONG wide = 0x1122334455667788ull;
  const BYTE blob[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(key, u"Q", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), 8), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"B", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"B", 0, REG_BINARY, blob, 2), ERROR_SUCCESS);  // replaced, not added
  RegCloseKey(key);

  auto q = sim::registry_value(kTessera, "Q");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->type, static_cast<std::uint32_t>(REG_QWORD));
  EXPECT_EQ(q->data.size(), 8u);
  auto b = sim::registry_value(kTessera, "b");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_FALSE(sim::registry_dword(kTessera, "Q"));  // not a DWORD
}

TEST_F(RegistryTest, ValuesPersistIntoANewProcessOnTheSameRoot) {
  const auto root = std::filesystem::path(::testing::TempDir()) / ("registry-persist-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  sim::reset(root);
  HKEY key = create(u"SOFTWARE\\Orvix\\Tessera");
  const DWORD port = 4242;
  ASSERT_EQ(RegSetValueExW(key, u"ETWConduit_PortNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4),
            ERROR_SUCCESS);

  sim::reset(root);  // a new process: no open handles, the same machine
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"ETWConduit_PortNumber", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 4242u);
  RegCloseKey(key);

  sim::reset();
  std::filesystem::remove_all(root);
}

TEST_F(RegistryTest, HandleAccessIsEnforced) {
  sim::set_registry_dword(kTessera, "V", 1);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_READ, &key), ERROR_SUCCESS);
  const DWORD value = 2;
  EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_ACCESS_DENIED);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key, u"Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  DWORD read = 0;
  DWORD size = sizeof read;
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  EXPECT_EQ(sim::registry_dword(kTessera, "V"), 1u);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeysAndMissingKeys) {
  sim::create_registry_key(std::string(kTessera) + "\\Sub");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::registry_key_exists(kTessera));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera\\Sub"), ERROR_FILE_NOT_FOUND);

  HKEY orvix = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix", 0, KEY_READ, &orvix), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(orvix, u"tessera"), ERROR_SUCCESS);  // relative to an open key
  EXPECT_FALSE(sim::registry_key_exists(kTessera));
  RegCloseKey(orvix);
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsKeyDeletedEvenAfterRecreation) {
  HKEY key = create(u"SOFTWARE\\Orvix\\Tessera");
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera"), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_KEY_DELETED);
  sim::set_registry_dword(kTessera, "V", 7);
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, KeyNamesCannotReachOutsideTheirParent) {
  HKEY key = create(u"SOFTWARE\\..\\..\\Escaped");
  RegCloseKey(key);
  EXPECT_TRUE(sim::registry_key_exists("HKLM\\SOFTWARE\\..\\..\\Escaped"));
  EXPECT_FALSE(sim::registry_key_exists("HKLM\\Escaped"));
  EXPECT_FALSE(std::filesystem::exists(sim::target_root() / "Escaped"));
  EXPECT_FALSE(std::filesystem::exists(sim::target_root() / "Registry" / "Escaped"));

  key = create(u"SOFTWARE\\a/b");
  RegCloseKey(key);
  EXPECT_TRUE(sim::registry_key_exists("HKLM\\SOFTWARE\\A/B"));
  EXPECT_FALSE(sim::registry_key_exists("HKLM\\SOFTWARE\\a"));
}

TEST_F(RegistryTest, CreateAppliesTheCallersDaclOnlyToANewKey) {
  ACL* dacl = nullptr;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = KEY_READ;
  entry.grfAccessMode = SET_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  ASSERT_EQ(SetEntriesInAclW(1, &entry, nullptr, &dacl), static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};

  // An existing key keeps its own DACL.
  sim::create_registry_key(kTessera);
  const auto before = sim::registry_key_dacl(kTessera);
  DWORD disposition = 0;
  RegCloseKey(create(u"SOFTWARE\\Orvix\\Tessera", &disposition, &attributes));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(sim::registry_key_dacl(kTessera), before);

  // A new key gets the caller's.
  RegCloseKey(create(u"SOFTWARE\\Orvix\\Fresh", &disposition, &attributes));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const auto fresh = sim::registry_key_dacl("HKLM\\SOFTWARE\\Orvix\\Fresh");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(*fresh, (std::vector<sim::RegistryAce>{{"S-1-1-0", KEY_READ, ACCESS_ALLOWED_ACE_TYPE, 0}}));
  EXPECT_EQ(sim::registry_key_owner("HKLM\\SOFTWARE\\Orvix\\Fresh"), "S-1-5-32-544");

  LocalFree(dacl);
  FreeSid(everyone);
}

TEST_F(RegistryTest, ArmedFaultsAreReturnedAsStatus) {
  sim::create_registry_key(kTessera);
  HKEY key = nullptr;
  sim::fail_next("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);

  const DWORD value = 1;
  DWORD size = sizeof value;
  DWORD read = 0;
  sim::fail_next("RegSetValueExW", 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_WRITE_FAULT);
  EXPECT_FALSE(sim::registry_dword(kTessera, "V"));
  sim::set_registry_dword(kTessera, "V", 1);
  sim::fail_next("RegQueryValueExW", 1, ERROR_READ_FAULT);
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), ERROR_READ_FAULT);
  sim::fail_next("RegCreateKeyExW", 1, ERROR_ACCESS_DENIED);
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                            nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(sim::registry_key_exists("HKLM\\SOFTWARE\\New"));
  sim::fail_next("RegDeleteKeyW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvix\\Tessera"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::registry_key_exists(kTessera));
  sim::fail_next("RegCloseKey", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
