// The listening port of the service: a REG_DWORD under a key that only Administrators may
// change, so that an unprivileged account cannot redirect the service to a port of its
// choosing.
#include "qlx_windows_service.h"

#include <stdexcept>

#include "aclapi.h"
#include "log_writer.h"
#include "windows.h"

namespace {

constexpr const WCHAR* kPortKeyPath = TEXT("SOFTWARE\\Orvix\\Tessera");
constexpr const WCHAR* kPortValueName = TEXT("ETWConduit_PortNumber");
constexpr const WCHAR* kAdministratorsName = TEXT("Administrators");

// Owners of what the security calls hand out, so that every way out of a function,
// returned or thrown, gives it back.
class LocalBlock {
 public:
  explicit LocalBlock(HLOCAL block = nullptr) : m_block(block) {}
  ~LocalBlock() {
    if (m_block) LocalFree(m_block);
  }
  LocalBlock(const LocalBlock&) = delete;
  LocalBlock& operator=(const LocalBlock&) = delete;

 private:
  HLOCAL m_block;
};

class GlobalBlock {
 public:
  explicit GlobalBlock(HGLOBAL block) : m_block(block) {}
  ~GlobalBlock() {
    if (m_block) GlobalFree(m_block);
  }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;
  LPWSTR text() const { return static_cast<LPWSTR>(m_block); }

 private:
  HGLOBAL m_block;
};

class SidHolder {
 public:
  SidHolder() = default;
  ~SidHolder() {
    if (m_sid) FreeSid(m_sid);
  }
  SidHolder(const SidHolder&) = delete;
  SidHolder& operator=(const SidHolder&) = delete;
  PSID* out() { return &m_sid; }
  PSID get() const { return m_sid; }

 private:
  PSID m_sid = nullptr;
};

// Closes the port key when FetchPortNumber leaves, also through an exception of the owner
// check, which would otherwise leak the handle.
class KeyHolder {
 public:
  KeyHolder() = default;
  ~KeyHolder() { close(); }
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  PHKEY out() { return &m_key; }
  HKEY get() const { return m_key; }
  void close() {
    if (m_key) RegCloseKey(m_key);
    m_key = nullptr;
  }

 private:
  HKEY m_key = nullptr;
};

EXPLICIT_ACCESS_W GrantTo(PSID sid, TRUSTEE_TYPE trusteeType, DWORD access) {
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = access;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = trusteeType;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return entry;
}

}  // namespace

DWORD QLXWindowsService::FetchPortNumber() {
  FunctionTrace trace("QLXWindowsService::FetchPortNumber");
  DWORD port = 0;
  try {
    KeyHolder key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortKeyPath, 0, KEY_READ | KEY_WRITE, key.out()) == ERROR_SUCCESS) {
      if (IsAdminRegKey(key.get()) == 0) {
        DWORD size = sizeof(port);
        const LSTATUS status =
            RegQueryValueExW(key.get(), kPortValueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(&port), &size);
        if (status != ERROR_SUCCESS) {
          WriteLog(LOG_ERROR, "ERROR # Conduit::FetchPortNumber # reg query value failed: %d", status);
          port = 0;  // a failed query leaves the buffer undefined
        }
      } else {
        // Creating a key that exists only opens it and keeps its DACL, so an untrusted key
        // must go before the protected one can be made.
        const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPortKeyPath);
        if (status != ERROR_SUCCESS) {
          WriteLog(LOG_ERROR, "ERROR # Conduit::FetchPortNumber # reg key deletion failed: %d", status);
        }
      }
      key.close();
      if (port < kMinimumPort || port > kMaximumPort) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::FetchPortNumber # port is not valid: %d, so assigning new port", port);
        port = 0;
      }
    }

    if (port == 0) {
      port = kDefaultPort;
      KeyHolder software;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_READ, software.out()) == ERROR_SUCCESS) {
        CreateSecureRegKey(kDefaultPort);
      }
    }
  } catch (const std::exception& e) {
    LogStandardException("QLXWindowsService::FetchPortNumber", e);
    WriteLog(LOG_ERROR, "ERROR # Conduit::FetchPortNumber # Unable to retrieve port number from Registry");
  } catch (...) {
    LogGenericException("QLXWindowsService::FetchPortNumber");
    WriteLog(LOG_ERROR, "ERROR # Conduit::FetchPortNumber # Unable to retrieve port number from Registry");
  }
  return port;
}

LONG QLXWindowsService::IsAdminRegKey(HKEY key) {
  FunctionTrace trace("QLXWindowsService::IsAdminRegKey");
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                       nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::IsAdminRegKey # get security info error: %d", status);
    throw std::runtime_error("GetSecurityInfo failed");
  }
  // The owner SID points into the descriptor, which the caller of GetSecurityInfo frees.
  LocalBlock descriptorHolder(descriptor);

  DWORD nameLength = 0;
  DWORD domainLength = 0;
  SID_NAME_USE use = SidTypeUnknown;
  // The first call only learns the sizes; anything but "buffer too small" is a real failure.
  if (!LookupAccountSidW(nullptr, owner, nullptr, &nameLength, nullptr, &domainLength, &use) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::IsAdminRegKey # lookup accountSid error : %d", GetLastError());
    throw std::runtime_error("LookupAccountSid failed");
  }

  // The lengths are in characters; the buffers are sized in WCHARs so the names fit whole.
  GlobalBlock name(GlobalAlloc(GPTR, static_cast<SIZE_T>(nameLength) * sizeof(WCHAR)));
  if (name.text() == nullptr) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::IsAdminRegKey # global alloc error : %d", GetLastError());
    throw std::runtime_error("Unable to retrieve AcctName");
  }
  GlobalBlock domain(GlobalAlloc(GPTR, static_cast<SIZE_T>(domainLength) * sizeof(WCHAR)));
  if (domain.text() == nullptr) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::IsAdminRegKey # global alloc error condition : %d",
             GetLastError());
    throw std::runtime_error("Unable to retrieve Domain name");
  }
  if (!LookupAccountSidW(nullptr, owner, name.text(), &nameLength, domain.text(), &domainLength, &use)) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::IsAdminRegKey # lookup accountSid error : %d", GetLastError());
    throw std::runtime_error("LookupAccountSid failed");
  }
  return lstrcmpiW(name.text(), kAdministratorsName);
}

void QLXWindowsService::CreateSecureRegKey(DWORD port) {
  FunctionTrace trace("QLXWindowsService::CreateSecureRegKey");
  // Each failing security call is logged and ends the function without creating the key:
  // a key made with a missing or partial DACL would be open to anyone, and the caller
  // still listens on the default port.
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  SidHolder everyone;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.out())) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # create SID error : %d", GetLastError());
    return;
  }
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  SidHolder administrators;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                0, 0, administrators.out())) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # alloc and initialized SID error : %d",
             GetLastError());
    return;
  }

  EXPLICIT_ACCESS_W entries[2] = {GrantTo(everyone.get(), TRUSTEE_IS_WELL_KNOWN_GROUP, KEY_READ),
                                  GrantTo(administrators.get(), TRUSTEE_IS_GROUP, KEY_ALL_ACCESS)};
  PACL acl = nullptr;
  const DWORD aclStatus = SetEntriesInAclW(2, entries, nullptr, &acl);
  if (aclStatus != ERROR_SUCCESS) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # set entries in ACL error : %u",
             aclStatus);
    return;
  }
  LocalBlock aclHolder(acl);

  PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor == nullptr) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # local alloc error : %d", GetLastError());
    return;
  }
  LocalBlock descriptorHolder(descriptor);
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # initiakized SID error : %d",
             GetLastError());
    return;
  }
  if (!SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
    WriteLog(LOG_ERROR, "ERROR # QLXWindowsService::CreateSecurityDescriptor # set SID DACL error : %d",
             GetLastError());
    return;
  }

  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                      &attributes, &key, &disposition) == ERROR_SUCCESS) {
    RegSetValueExW(key, kPortValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
    RegCloseKey(key);
  }
}
