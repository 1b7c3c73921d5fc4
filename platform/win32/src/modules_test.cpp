#include <gtest/gtest.h>

#include "win32_controls/modules_table.h"
#include "sim/sim.h"
#include "winbase.h"

namespace {

INT_PTR first_export() { return 1; }
INT_PTR second_export() { return 2; }

class Modules : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    platform::register_module("sample.dll", {{"First", &first_export}, {"Second", &second_export}});
  }
  void TearDown() override { platform::unregister_module("sample.dll"); }
};

TEST_F(Modules, LoadsByFileNameWhateverTheFolderAndCase) {
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  const std::string path = std::string(system) + "\\SAMPLE.DLL";
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadLibraryA("sample"), module);
  EXPECT_EQ(platform::module_reference_count("Sample.dll"), 2u);

  FARPROC first = GetProcAddress(module, "First");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first(), 1);
  // Export names are case-sensitive.
  EXPECT_EQ(GetProcAddress(module, "first"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  char file_name[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(module, file_name, MAX_PATH), path.size());
  EXPECT_EQ(std::string(file_name), path);

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_NE(GetProcAddress(module, "First"), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(platform::module_reference_count("sample.dll"), 0u);
  // The last FreeLibrary unloads it: the handle no longer names the module.
  EXPECT_EQ(GetProcAddress(module, "First"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Modules, UnknownModulesAndRemovedExportsAreNotFound) {
  EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\missing.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  EXPECT_TRUE(sim::remove_module_export("sample.dll", "Second"));
  EXPECT_FALSE(sim::remove_module_export("missing.dll", "Second"));
  HMODULE module = LoadLibraryA("sample.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "First"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "Second"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // Ordinals are not names.
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(3))), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  // A reset unloads everything and lays out only the built-in modules afresh.
  sim::reset();
  EXPECT_EQ(GetProcAddress(module, "First"), nullptr);
  EXPECT_EQ(LoadLibraryA("sample.dll"), nullptr);
}

// ntdll.dll is in every process from its start: found by name without a LoadLibrary, and
// finding it adds no reference.
TEST_F(Modules, NtdllIsLoadedInEveryProcessAndFoundByName) {
  HMODULE ntdll = GetModuleHandleW(u"NTDLL.DLL");
  ASSERT_NE(ntdll, nullptr);
  EXPECT_EQ(GetModuleHandleW(u"ntdll"), ntdll);
  EXPECT_EQ(platform::module_reference_count("ntdll.dll"), 1u);
  EXPECT_NE(GetProcAddress(ntdll, "RtlIpv6AddressToStringW"), nullptr);

  // An installed module that is not loaded has no handle to find.
  EXPECT_EQ(GetModuleHandleW(u"sample.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE sample = LoadLibraryA("sample.dll");
  EXPECT_EQ(GetModuleHandleW(u"C:\\Windows\\System32\\Sample.dll"), sample);
  EXPECT_TRUE(FreeLibrary(sample));
  EXPECT_EQ(GetModuleHandleW(u"sample.dll"), nullptr);

  sim::fail_next("GetModuleHandleW", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleW(u"ntdll.dll"), nullptr);
  // A reset is a new boot: ntdll.dll is there again, under a new handle.
  sim::reset();
  EXPECT_NE(GetModuleHandleW(u"ntdll.dll"), nullptr);
}

TEST_F(Modules, ArmedLoadLibraryFails) {
  sim::fail_next("LoadLibraryA", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("sample.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(platform::module_reference_count("sample.dll"), 0u);
}

}  // namespace
