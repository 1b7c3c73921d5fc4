#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qlx_windows_service.h"
#include "sim/registry.h"
#include "testing/host_test_support.h"
#include "windows.h"

namespace {

constexpr const char* kTessera = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera";
constexpr const char* kPortValue = "ETWConduit_PortNumber";
constexpr const char* kAdministrators = "S-1-5-32-544";

const std::vector<sim::RegistryAce> kProtectedDacl = {
    {"S-1-1-0", KEY_READ, ACCESS_ALLOWED_ACE_TYPE, 0},
    {"S-1-5-32-544", KEY_ALL_ACCESS, ACCESS_ALLOWED_ACE_TYPE, 0},
};

class PortNumberTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    service_ = std::make_unique<QLXWindowsService>(u"Orvix(R) Trace Redirect Service");
    SetLogLevel("0");
  }
  void TearDown() override {
    service_.reset();
    HostTest::TearDown();
  }

  bool Logged(const std::string& line) const { return Log().find(line) != std::string::npos; }

  std::unique_ptr<QLXWindowsService> service_;
};

TEST_F(PortNumberTest, CleanMachineGetsTheProtectedKeyWithTheDefaultPort) {
  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), 20950u);
  EXPECT_EQ(sim::registry_key_dacl(kTessera), kProtectedDacl);
  EXPECT_EQ(sim::registry_key_owner(kTessera), kAdministrators);
  EXPECT_FALSE(Logged("port is not valid"));
  EXPECT_FALSE(Logged("ERROR #"));

  // The next start reads what the first one wrote.
  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_FALSE(Logged("ERROR #"));
}

TEST_F(PortNumberTest, OutOfRangePortsAreReplacedByTheDefault) {
  for (std::uint32_t port : {1023u, 49152u, 0u}) {
    SCOPED_TRACE(port);
    sim::set_registry_dword(kTessera, kPortValue, port);
    EXPECT_EQ(service_->FetchPortNumber(), 20950u);
    EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # port is not valid: " + std::to_string(port) +
                       ", so assigning new port"));
    EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), 20950u);
  }
}

TEST_F(PortNumberTest, PortsAtTheEdgesOfTheRangeAreUsedAsTheyAre) {
  for (std::uint32_t port : {1024u, 49151u}) {
    SCOPED_TRACE(port);
    sim::set_registry_dword(kTessera, kPortValue, port);
    EXPECT_EQ(service_->FetchPortNumber(), port);
    EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), port);
  }
  EXPECT_FALSE(Logged("ERROR #"));
}

TEST_F(PortNumberTest, KeyOwnedByAnotherAccountIsReplacedWhateverItHeld) {
  sim::set_registry_dword(kTessera, kPortValue, 30000);
  sim::set_registry_key_owner(kTessera, sim::add_local_account("Operator"));
  sim::set_registry_key_dacl(kTessera, {{"S-1-1-0", KEY_ALL_ACCESS, ACCESS_ALLOWED_ACE_TYPE, 0}});

  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), 20950u);
  EXPECT_EQ(sim::registry_key_owner(kTessera), kAdministrators);
  EXPECT_EQ(sim::registry_key_dacl(kTessera), kProtectedDacl);
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # port is not valid: 0, so assigning new port"));
}

TEST_F(PortNumberTest, UntrustedKeyThatCannotBeDeletedIsLoggedAndTheDefaultUsed) {
  sim::set_registry_dword(kTessera, kPortValue, 30000);
  sim::set_registry_key_owner(kTessera, sim::add_local_account("Operator"));
  sim::create_registry_key(std::string(kTessera) + "\\Pinned");  // a key with subkeys is not deleted

  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # reg key deletion failed: 5"));
  EXPECT_NE(sim::registry_key_owner(kTessera), kAdministrators);
}

TEST_F(PortNumberTest, UnreadableValueFallsBackToTheDefault) {
  // Not a DWORD: the 4-byte buffer is too small for it.
  sim::set_registry_string(kTessera, kPortValue, "30000");
  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # reg query value failed: 234"));
  EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), 20950u);

  sim::fail_next("RegQueryValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(service_->FetchPortNumber(), 20950u);
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # reg query value failed: 5"));
}

struct SecurityFault {
  const char* function;
  std::string line;
};

TEST_F(PortNumberTest, FailingSecurityCallIsLoggedAndCreatesNoKey) {
  const SecurityFault faults[] = {
      {"AllocateAndInitializeSid", "ERROR # QLXWindowsService::CreateSecurityDescriptor # create SID error : 8"},
      {"SetEntriesInAclW", "ERROR # QLXWindowsService::CreateSecurityDescriptor # set entries in ACL error : 8"},
      {"InitializeSecurityDescriptor",
       "ERROR # QLXWindowsService::CreateSecurityDescriptor # initiakized SID error : 8"},
      {"SetSecurityDescriptorDacl", "ERROR # QLXWindowsService::CreateSecurityDescriptor # set SID DACL error : 8"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.function);
    sim::fail_next(fault.function, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(service_->FetchPortNumber(), 20950u);
    EXPECT_TRUE(Logged(fault.line));
    EXPECT_FALSE(sim::registry_key_exists(kTessera));
  }
}

TEST_F(PortNumberTest, FailingOwnerCheckYieldsNoPort) {
  sim::set_registry_dword(kTessera, kPortValue, 30000);
  sim::fail_next("GetSecurityInfo", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(service_->FetchPortNumber(), 0u);
  EXPECT_TRUE(Logged("ERROR # QLXWindowsService::IsAdminRegKey # get security info error: 5"));
  EXPECT_TRUE(Logged("STANDARD EXCEPTION Fn: QLXWindowsService::FetchPortNumber : Exception: GetSecurityInfo failed"));
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # Unable to retrieve port number from Registry"));
  EXPECT_EQ(sim::registry_dword(kTessera, kPortValue), 30000u);

  // The key handle of the failed attempt was closed: a later start reads the value.
  EXPECT_EQ(service_->FetchPortNumber(), 30000u);
}

TEST_F(PortNumberTest, FailingAccountLookupYieldsNoPort) {
  sim::set_registry_dword(kTessera, kPortValue, 30000);
  sim::fail_next("LookupAccountSidW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(service_->FetchPortNumber(), 0u);
  EXPECT_TRUE(Logged("ERROR # QLXWindowsService::IsAdminRegKey # lookup accountSid error : 8"));

  sim::fail_next("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(service_->FetchPortNumber(), 0u);
  EXPECT_TRUE(Logged("ERROR # QLXWindowsService::IsAdminRegKey # global alloc error : 8"));
  EXPECT_TRUE(Logged("Exception: Unable to retrieve AcctName"));

  // An owner that no account of the machine stands for.
  sim::set_registry_key_owner(kTessera, "S-1-5-21-1-2-3-4242");
  EXPECT_EQ(service_->FetchPortNumber(), 0u);
  EXPECT_TRUE(Logged("ERROR # QLXWindowsService::IsAdminRegKey # lookup accountSid error : 1332"));
  EXPECT_TRUE(Logged("ERROR # Conduit::FetchPortNumber # Unable to retrieve port number from Registry"));
}

}  // namespace
