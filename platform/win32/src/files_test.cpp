#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "shlwapi.h"
#include "sim/sim.h"
#include "platform/core/text.h"
#include "winbase.h"

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  // A Windows path below the target root, with backslashes as deliverable code builds it.
  static std::string path(const std::string& relative) { return sim::target_root().string() + "\\" + relative; }
  static std::u16string wide_path(const std::string& relative) { return platform::utf8_to_utf16(path(relative)); }

  static HANDLE open(const std::string& relative, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(wide_path(relative).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  static std::string contents(const std::string& relative) {
    std::ifstream in(sim::target_root() / relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void put(HANDLE file, const std::string& text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
  }
};

TEST_F(Files, ExclusiveHandleBlocksEveryOtherOpenUntilClosed) {
  HANDLE first = open("log.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);

  for (DWORD access : {static_cast<DWORD>(GENERIC_READ), static_cast<DWORD>(GENERIC_WRITE),
                       static_cast<DWORD>(FILE_APPEND_DATA)}) {
    EXPECT_EQ(open("log.txt", access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = open("log.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(Files, SharingIsCheckedBothWays) {
  // The reader allows other readers only.
  HANDLE reader = open("data.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("data.bin", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // A second reader that does not share reading with the first is refused as well.
  EXPECT_EQ(open("data.bin", GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  HANDLE second_reader = open("data.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(second_reader, INVALID_HANDLE_VALUE);
  CloseHandle(second_reader);
  CloseHandle(reader);
}

TEST_F(Files, RefusedCreateAlwaysLeavesTheFileUntouched) {
  HANDLE holder = open("keep.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  put(holder, "precious");
  EXPECT_EQ(open("keep.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(holder);
  EXPECT_EQ(contents("keep.txt"), "precious");
}

TEST_F(Files, TwoSharedAppendHandlesBothAddAtTheEnd) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE first = open("log.txt", FILE_APPEND_DATA, share, OPEN_ALWAYS);
  HANDLE second = open("log.txt", FILE_APPEND_DATA, share, OPEN_ALWAYS);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  put(first, "one\n");
  put(second, "two\n");
  put(first, "three\n");
  CloseHandle(first);
  CloseHandle(second);
  EXPECT_EQ(contents("log.txt"), "one\ntwo\nthree\n");
}

TEST_F(Files, DispositionsReportExistenceThroughTheLastError) {
  HANDLE created = open("f.txt", GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  put(created, "abc");
  CloseHandle(created);

  HANDLE opened = open("f.txt", GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(opened, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(opened);
  EXPECT_EQ(contents("f.txt"), "abc");

  HANDLE overwritten = open("f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(overwritten, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(overwritten);
  EXPECT_EQ(contents("f.txt"), "");

  HANDLE fresh = open("g.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(fresh);

  EXPECT_EQ(open("g.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(open("missing.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open("missing.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open("g.txt", GENERIC_WRITE, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, MissingParentFolderIsPathNotFound) {
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS}) {
    EXPECT_EQ(open("no-such-dir\\f.txt", GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << disposition;
  }
  EXPECT_FALSE(DeleteFileA(path("no-such-dir\\f.txt").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateDirectoryA(path("no-such-dir\\sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, OpeningAFolderAsAFileIsDenied) {
  EXPECT_EQ(open("ProgramData", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Files, DeleteHonoursShareDeleteOfOpenHandles) {
  HANDLE locked = open("a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileA(path("a.txt").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(locked);
  EXPECT_TRUE(DeleteFileA(path("a.txt").c_str()));

  HANDLE shared = open("b.txt", GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_ALWAYS);
  ASSERT_NE(shared, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileA(path("b.txt").c_str()));
  EXPECT_FALSE(PathFileExistsA(path("b.txt").c_str()));
  CloseHandle(shared);

  EXPECT_FALSE(DeleteFileA(path("b.txt").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA(path("ProgramData").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Files, ReadsWhatWasWrittenAndSucceedsEmptyAtTheEnd) {
  HANDLE file = open("rw.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  put(file, "0123456789");
  CloseHandle(file);
  file = open("rw.bin", GENERIC_READ, 0, OPEN_EXISTING);
  char buffer[16] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "0123456789");
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  CloseHandle(file);
}

TEST_F(Files, AccessNotGrantedIsDenied) {
  HANDLE reader = open("r.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);

  HANDLE writer = open("r.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  char byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(writer, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(writer);
  CloseHandle(reader);
}

TEST_F(Files, ClosedOrUnknownHandlesAreInvalid) {
  HANDLE file = open("c.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST_F(Files, AttributesFoldersAndExistence) {
  EXPECT_EQ(GetFileAttributesW(wide_path("ETW-Traces").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(CreateDirectoryW(wide_path("ETW-Traces").c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesW(wide_path("ETW-Traces").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(CreateDirectoryA(path("ETW-Traces").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  HANDLE file = open("ETW-Traces\\t.stp", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  const DWORD attributes = GetFileAttributesW(wide_path("ETW-Traces\\t.stp").c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(PathFileExistsW(wide_path("ETW-Traces\\t.stp").c_str()));
  EXPECT_TRUE(PathFileExistsA(path("ETW-Traces").c_str()));
  EXPECT_FALSE(PathFileExistsA(path("ETW-Traces\\u.stp").c_str()));
}

TEST_F(Files, ArmedFaultsFailWithTheArmedError) {
  sim::fail_next("CreateFileW", 1, ERROR_DISK_FULL);
  EXPECT_EQ(open("x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(PathFileExistsA(path("x.txt").c_str()));

  HANDLE file = open("x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  sim::fail_next("WriteFile", 1, ERROR_WRITE_FAULT);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(file, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  put(file, "abc");
  CloseHandle(file);
  EXPECT_EQ(contents("x.txt"), "abc");
}

TEST_F(Files, ResetClosesOpenHandles) {
  HANDLE file = open("x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  sim::reset();
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
