#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <compare>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "kernel_object.h"
#include "reset_steps.h"
#include "win32_controls/file_controls.h"
#include "platform/core/devices.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "shlwapi.h"
#include "platform/core/text.h"
#include "winbase.h"

namespace {

#ifndef FILE_EXECUTE
constexpr DWORD FILE_EXECUTE = 0x0020;
#endif

// The access rights that take part in sharing checks; everything else (attributes,
// security) never conflicts, as on Windows.
constexpr DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kDeleteAccess = DELETE;
constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD data_access(DWORD desired) {
  DWORD access = desired & (kReadAccess | kWriteAccess | kDeleteAccess);
  if (desired & GENERIC_READ) access |= FILE_READ_DATA;
  if (desired & GENERIC_WRITE) access |= kWriteAccess;
  if (desired & GENERIC_EXECUTE) access |= FILE_EXECUTE;
  if (desired & GENERIC_ALL) access |= kReadAccess | kWriteAccess | kDeleteAccess;
  return access;
}

struct FileIdentity {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileIdentity&) const = default;
};

struct ShareEntry {
  DWORD access;
  DWORD share;
};

// One lock for the whole file family: a CreateFile checks the open handles of a file and
// then opens (or truncates) it, and no other open may slip in between.
std::mutex& files_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::multimap<FileIdentity, ShareEntry*>& open_files() {
  static auto& map = *new std::multimap<FileIdentity, ShareEntry*>;
  return map;
}

// Windows' sharing rule, both ways: the new open's access must be allowed by every existing
// open's share mode, and every existing open's access by the new share mode.
bool conflicts(const FileIdentity& identity, DWORD access, DWORD share) {
  if ((access & (kReadAccess | kWriteAccess | kDeleteAccess)) == 0) return false;
  auto [first, last] = open_files().equal_range(identity);
  for (auto it = first; it != last; ++it) {
    const ShareEntry& open = *it->second;
    if ((open.access & (kReadAccess | kWriteAccess | kDeleteAccess)) == 0) continue;
    if (((access & kReadAccess) && !(open.share & FILE_SHARE_READ)) ||
        ((access & kWriteAccess) && !(open.share & FILE_SHARE_WRITE)) ||
        ((access & kDeleteAccess) && !(open.share & FILE_SHARE_DELETE)) ||
        ((open.access & kReadAccess) && !(share & FILE_SHARE_READ)) ||
        ((open.access & kWriteAccess) && !(share & FILE_SHARE_WRITE)) ||
        ((open.access & kDeleteAccess) && !(share & FILE_SHARE_DELETE))) {
      return true;
    }
  }
  return false;
}

bool parent_exists(const std::string& path) {
  auto slash = path.find_last_of('/');
  while (slash != std::string::npos && slash > 0 && path[slash - 1] == '/') --slash;
  if (slash == std::string::npos) return true;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat info {};
  return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

DWORD error_from_errno(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return parent_exists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// sim::stall_writes: the files whose writes wait, and the writes waiting.
struct WriteStall {
  std::mutex mutex;
  std::condition_variable lifted;
  std::string prefix;
  bool stalled = false;
  unsigned waiting = 0;
};
WriteStall& write_stall() {
  static auto& stall = *new WriteStall;
  return stall;
}

void wait_while_stalled(const std::string& host_path) {
  WriteStall& stall = write_stall();
  std::unique_lock lock(stall.mutex);
  const auto held = [&] { return stall.stalled && host_path.compare(0, stall.prefix.size(), stall.prefix) == 0; };
  if (!held()) return;
  ++stall.waiting;
  stall.lifted.wait(lock, [&] { return !held(); });
  --stall.waiting;
}

class FileObject final : public platform::KernelObject {
 public:
  FileObject(int descriptor, FileIdentity identity, DWORD access, DWORD share, std::string host_path)
      : descriptor_(descriptor), identity_(identity), entry_{access, share}, host_path_(std::move(host_path)) {
    open_files().emplace(identity_, &entry_);
  }

  ~FileObject() override {
    {
      std::lock_guard lock(files_mutex());
      auto [first, last] = open_files().equal_range(identity_);
      for (auto it = first; it != last; ++it) {
        if (it->second == &entry_) {
          open_files().erase(it);
          break;
        }
      }
    }
    ::close(descriptor_);
  }

  bool read(void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped) override {
    if (!(entry_.access & kReadAccess)) return fail(ERROR_ACCESS_DENIED);
    auto* bytes = static_cast<char*>(buffer);
    off_t offset = overlapped ? start_offset(*overlapped) : -1;
    while (transferred < size) {
      const ssize_t done = offset >= 0 ? ::pread(descriptor_, bytes + transferred, size - transferred, offset)
                                       : ::read(descriptor_, bytes + transferred, size - transferred);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0) return fail(ERROR_READ_FAULT);
      if (done == 0) break;  // end of file: success with fewer bytes, as ReadFile reports it
      transferred += static_cast<DWORD>(done);
      if (offset >= 0) offset += done;
    }
    return true;
  }

  bool write(const void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped) override {
    if (!(entry_.access & kWriteAccess)) return fail(ERROR_ACCESS_DENIED);
    wait_while_stalled(host_path_);
    const auto* bytes = static_cast<const char*>(buffer);
    off_t offset = overlapped && !is_append_only() ? start_offset(*overlapped) : -1;
    while (transferred < size) {
      const ssize_t done = offset >= 0 ? ::pwrite(descriptor_, bytes + transferred, size - transferred, offset)
                                       : ::write(descriptor_, bytes + transferred, size - transferred);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0) return fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
      transferred += static_cast<DWORD>(done);
      if (offset >= 0) offset += done;
    }
    return true;
  }

 private:
  static bool fail(DWORD code) {
    SetLastError(code);
    return false;
  }

  static off_t start_offset(const OVERLAPPED& overlapped) {
    return static_cast<off_t>((static_cast<std::uint64_t>(overlapped.u.s.OffsetHigh) << 32) | overlapped.u.s.Offset);
  }

  // A handle with FILE_APPEND_DATA but not FILE_WRITE_DATA can only add to the end.
  bool is_append_only() const { return (entry_.access & FILE_APPEND_DATA) && !(entry_.access & FILE_WRITE_DATA); }

  int descriptor_;
  FileIdentity identity_;
  ShareEntry entry_;
  std::string host_path_;
};

bool is_device_path(std::u16string_view path) {
  return path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'.' || path[2] == u'?') &&
         path[3] == u'\\';
}

HANDLE create_file(const std::string& windows_path, DWORD desired_access, DWORD share_mode, DWORD disposition) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (share_mode & ~kAllShare) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = platform::host_path(windows_path);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD access = data_access(desired_access);
  const bool wants_read = access & kReadAccess;
  const bool wants_write = access & kWriteAccess;
  int flags = O_CLOEXEC | (wants_read && wants_write ? O_RDWR : wants_write ? O_WRONLY : O_RDONLY);
  if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA)) flags |= O_APPEND;

  std::lock_guard lock(files_mutex());
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) {
    SetLastError(error_from_errno(errno, path));
    return INVALID_HANDLE_VALUE;
  }
  if (exists && S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (exists) {
    if (disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    // Checked before any truncation, so a refused open leaves the file as it was.
    if (conflicts(FileIdentity{info.st_dev, info.st_ino}, access, share_mode)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ::truncate(path.c_str(), 0) != 0) {
      SetLastError(error_from_errno(errno, path));
      return INVALID_HANDLE_VALUE;
    }
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      SetLastError(error_from_errno(ENOENT, path));
      return INVALID_HANDLE_VALUE;
    }
    flags |= O_CREAT | O_EXCL;
  }
  const int descriptor = ::open(path.c_str(), flags, 0666);
  if (descriptor < 0) {
    SetLastError(error_from_errno(errno, path));
    return INVALID_HANDLE_VALUE;
  }
  struct stat opened {};
  ::fstat(descriptor, &opened);
  auto object = std::make_shared<FileObject>(descriptor, FileIdentity{opened.st_dev, opened.st_ino}, access, share_mode, path);
  HANDLE handle = platform::insert_kernel_object(std::move(object));
  SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : ERROR_SUCCESS);
  return handle;
}

BOOL delete_file(const std::string& windows_path) {
  const std::string path = platform::host_path(windows_path);
  std::lock_guard lock(files_mutex());
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    SetLastError(error_from_errno(errno, path));
    return FALSE;
  }
  if (S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Deleting opens the file for DELETE access: any open handle without FILE_SHARE_DELETE
  // refuses it.
  if (conflicts(FileIdentity{info.st_dev, info.st_ino}, kDeleteAccess, kAllShare)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (::unlink(path.c_str()) != 0) {
    SetLastError(error_from_errno(errno, path));
    return FALSE;
  }
  return TRUE;
}

DWORD file_attributes(const std::string& windows_path) {
  const std::string path = platform::host_path(windows_path);
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : error_from_errno(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL create_directory(const std::string& windows_path) {
  const std::string path = platform::host_path(windows_path);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                                                          : error_from_errno(errno, path));
    return FALSE;
  }
  return TRUE;
}

BOOL path_exists(const std::string& windows_path) {
  const std::string path = platform::host_path(windows_path);
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : error_from_errno(errno, path));
    return FALSE;
  }
  return TRUE;
}

// An open instance of a routed device. Its completion statuses reach the caller as the
// Win32 errors Windows maps them to; the instance closes with the last handle.
class DeviceObject final : public platform::KernelObject {
 public:
  explicit DeviceObject(std::shared_ptr<platform::DeviceFile> file) : file_(std::move(file)) {}
  ~DeviceObject() override { file_->close(); }

  bool read(void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED*) override {
    std::uint32_t done = 0;
    const bool ok = complete(file_->read(buffer, size, done));
    transferred = done;
    return ok;
  }

  bool write(const void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED*) override {
    std::uint32_t done = 0;
    const bool ok = complete(file_->write(buffer, size, done));
    transferred = done;
    return ok;
  }

  bool io_control(DWORD code, const void* input, DWORD input_size, void* output, DWORD output_size,
                  DWORD& transferred) override {
    std::uint32_t done = 0;
    const bool ok = complete(file_->io_control(code, input, input_size, output, output_size, done));
    transferred = done;
    return ok;
  }

 private:
  static bool complete(platform::NtStatus status) {
    if (status >= 0) return true;
    SetLastError(platform::nt_status_to_win32_error(status));
    return false;
  }

  std::shared_ptr<platform::DeviceFile> file_;
};

HANDLE open_device(const std::u16string& path, DWORD desired_access, DWORD share_mode) {
  auto device = platform::find_device(path);
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<platform::DeviceFile> file;
  const platform::NtStatus status = device->create(desired_access, share_mode, file);
  if (status < 0 || !file) {
    SetLastError(status < 0 ? platform::nt_status_to_win32_error(status) : ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return platform::insert_kernel_object(std::make_shared<DeviceObject>(std::move(file)));
}

// A file call on a handle that is not open fails with ERROR_INVALID_HANDLE.
std::shared_ptr<platform::KernelObject> object_or_fail(HANDLE handle) {
  auto object = platform::lookup_kernel_object(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
  PLATFORM_FAIL_IF_ARMED("CreateFileW", INVALID_HANDLE_VALUE);
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string name(lpFileName);
  if (is_device_path(name)) return open_device(name, dwDesiredAccess, dwShareMode);
  return create_file(platform::utf16_to_utf8(name), dwDesiredAccess, dwShareMode, dwCreationDisposition);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  PLATFORM_FAIL_IF_ARMED("ReadFile", FALSE);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  auto object = object_or_fail(hFile);
  if (!object) return FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD transferred = 0;
  const bool done = object->read(lpBuffer, nNumberOfBytesToRead, transferred, lpOverlapped);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = transferred;
  return done ? TRUE : FALSE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  PLATFORM_FAIL_IF_ARMED("WriteFile", FALSE);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  auto object = object_or_fail(hFile);
  if (!object) return FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A write completed short (sim::short_write_next): only the first bytes reach the file.
  if (auto most = platform::take_fault("WriteFile:short"); most && *most < nNumberOfBytesToWrite) {
    nNumberOfBytesToWrite = *most;
  }
  DWORD transferred = 0;
  const bool done = object->write(lpBuffer, nNumberOfBytesToWrite, transferred, lpOverlapped);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = transferred;
  return done ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
  PLATFORM_FAIL_IF_ARMED("DeleteFileA", FALSE);
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return delete_file(lpFileName);
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  PLATFORM_FAIL_IF_ARMED("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return file_attributes(platform::utf16_to_utf8(lpFileName));
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  PLATFORM_FAIL_IF_ARMED("CreateDirectoryA", FALSE);
  if (lpPathName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return create_directory(lpPathName);
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  PLATFORM_FAIL_IF_ARMED("CreateDirectoryW", FALSE);
  if (lpPathName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return create_directory(platform::utf16_to_utf8(lpPathName));
}

BOOL PathFileExistsA(LPCSTR pszPath) {
  PLATFORM_FAIL_IF_ARMED("PathFileExistsA", FALSE);
  return pszPath != nullptr && path_exists(pszPath) ? TRUE : FALSE;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  PLATFORM_FAIL_IF_ARMED("PathFileExistsW", FALSE);
  return pszPath != nullptr && path_exists(platform::utf16_to_utf8(pszPath)) ? TRUE : FALSE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
  PLATFORM_FAIL_IF_ARMED("DeviceIoControl", FALSE);
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  auto object = object_or_fail(hDevice);
  if (!object) return FALSE;
  DWORD transferred = 0;
  const bool done =
      object->io_control(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, transferred);
  if (lpBytesReturned != nullptr) *lpBytesReturned = transferred;
  return done ? TRUE : FALSE;
}

namespace platform {

void stall_file_writes(const std::string& host_prefix, bool stalled) {
  WriteStall& stall = write_stall();
  {
    std::lock_guard lock(stall.mutex);
    stall.prefix = host_prefix;
    stall.stalled = stalled;
  }
  stall.lifted.notify_all();
}

unsigned stalled_file_writes() {
  WriteStall& stall = write_stall();
  std::lock_guard lock(stall.mutex);
  return stall.waiting;
}

}  // namespace platform

namespace platform::win32 {

// Before the hosted service is stopped: a writer waiting in a stall would hold up its stop.
void lift_write_stall() { stall_file_writes({}, false); }

}  // namespace platform::win32
