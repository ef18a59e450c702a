// The Windows layer against the real Win32 API (under Wine in CI).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "probe/platform.h"
#include "probe/win32/fileinfo-win32.h"
#include "probe/win32/wide-win32.h"

namespace qst {
namespace {

// A scratch folder with one file, removed afterwards.
class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    folder_ = std::wstring(temp) + L"qst_win32_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    file_ = folder_ + L"\\sample.txt";
    HANDLE h = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::FILETIME created = {0x1234567, 0x1CBC04B}, written = {0x7654321, 0x1CBC04C};
    ASSERT_TRUE(SetFileTime(h, &created, nullptr, &written));
    CloseHandle(h);
  }
  void TearDown() override {
    DeleteFileW(file_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  HANDLE OpenForQuery(const std::wstring& path, DWORD access = 0) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }

  std::wstring folder_, file_;
};

std::uint64_t Ticks(const ::FILETIME& t) {
  return std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime;
}

TEST_F(Win32Files, BasicInfoNeedsItsFullSize) {
  HANDLE h = OpenForQuery(file_);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ::FILE_BASIC_INFO basic = {};
  EXPECT_EQ(GetFileInformationByHandleEx(h, kFileBasicInfo, &basic, 40), 1);
  ::FILETIME created, accessed, written;
  ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
  EXPECT_EQ(static_cast<std::uint64_t>(basic.CreationTime.QuadPart), Ticks(created));
  EXPECT_EQ(static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart), Ticks(written));
  EXPECT_EQ(static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart), 0x1CBC04C07654321u);

  SetLastError(0);
  EXPECT_EQ(GetFileInformationByHandleEx(h, kFileBasicInfo, &basic, 39), 0);
  EXPECT_EQ(GetLastError(), 24u);
  CloseHandle(h);
}

TEST_F(Win32Files, UnknownClassesAreInvalidParameters) {
  HANDLE h = OpenForQuery(file_);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  unsigned char buffer[512];
  for (int info_class : {3, 4, 5, 6, 12, -1}) {
    SetLastError(0);
    EXPECT_EQ(GetFileInformationByHandleEx(h, info_class, buffer, sizeof buffer), 0) << info_class;
    EXPECT_EQ(GetLastError(), 87u) << info_class;
  }
  CloseHandle(h);
}

TEST_F(Win32Files, OtherClassesReachTheNativeQuery) {
  HANDLE h = OpenForQuery(file_);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ::FILE_STANDARD_INFO standard = {};
  EXPECT_EQ(GetFileInformationByHandleEx(h, kFileStandardInfo, &standard, 24), 1);
  SetLastError(0);
  EXPECT_EQ(GetFileInformationByHandleEx(h, kFileStandardInfo, &standard, 23), 0);
  EXPECT_EQ(GetLastError(), 24u);
  // A name that does not fit: the native status becomes a Win32 error.
  unsigned char small[8];
  SetLastError(0);
  EXPECT_EQ(GetFileInformationByHandleEx(h, kFileNameInfo, small, sizeof small), 0);
  EXPECT_NE(GetLastError(), 0u);
  CloseHandle(h);

  // Listing a folder needs a handle that may list it.
  HANDLE folder = OpenForQuery(folder_, FILE_LIST_DIRECTORY);
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  alignas(8) unsigned char entries[4096];
  EXPECT_EQ(GetFileInformationByHandleEx(folder, kFileIdBothDirectoryRestartInfo, entries,
                                         sizeof entries),
            1);
  SetLastError(0);
  EXPECT_EQ(GetFileInformationByHandleEx(folder, kFileIdBothDirectoryInfo, entries, 111), 0);
  EXPECT_EQ(GetLastError(), 24u);
  CloseHandle(folder);
}

TEST_F(Win32Files, ProbeOpensFilesAndFoldersOrReportsTheCode) {
  std::unique_ptr<Platform> platform = MakeNativePlatform();
  RawFileInfo info;
  ASSERT_EQ(platform->Probe(FromWide(file_), &info), 0);
  EXPECT_EQ(info.basic.LastWriteTime, 0x1CBC04C07654321u);
  ASSERT_EQ(platform->Probe(FromWide(folder_) + "\\", &info), 0);
  EXPECT_NE(info.basic.CreationTime, 0u);
  EXPECT_EQ(platform->Probe(FromWide(folder_) + "\\missing.txt", &info), 2);
  EXPECT_EQ(platform->Probe(FromWide(folder_) + "\\missing\\x.txt", &info), 3);
  EXPECT_EQ(platform->Probe("", &info), 3);
}

TEST_F(Win32Files, SearchYieldsBareNamesAndFolders) {
  std::unique_ptr<Platform> platform = MakeNativePlatform();
  std::unique_ptr<DirSearch> search;
  ASSERT_EQ(platform->OpenSearch(FromWide(folder_) + "\\*", &search), 0);
  std::string names;
  DirEntry entry;
  while (search->Next(&entry)) names += entry.name + (entry.folder ? "/ " : " ");
  EXPECT_NE(names.find("sample.txt "), std::string::npos) << names;
  EXPECT_NE(names.find("./ "), std::string::npos) << names;
  EXPECT_EQ(platform->OpenSearch(FromWide(folder_) + "\\*.none", &search), 2);
}

TEST(Win32Platform, ErrorTextsAndVolumeRoots) {
  std::unique_ptr<Platform> platform = MakeNativePlatform();
  std::string text = platform->ErrorText(2);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(platform->ErrorText(0x2FFFFFFF), "Unknown error 805306367\n");
  for (const char* root : {"C:", "C:\\", "z:\\"}) EXPECT_TRUE(platform->IsVolumeRoot(root));
  for (const char* other : {"C", "C:\\x", "\\", "1:\\", "C:/"})
    EXPECT_FALSE(platform->IsVolumeRoot(other)) << other;
  EXPECT_EQ(platform->Separator(), '\\');
}

TEST(WideText, RoundTripsEveryUtf16String) {
  const std::wstring samples[] = {L"plain",
                                  L"caf\u00e9 \u65e5\u672c",
                                  std::wstring(L"astral \xD83D\xDE00"),
                                  std::wstring(L"lone \xD800 lead"),
                                  std::wstring(L"lone \xDC00 trail"),
                                  std::wstring(L"end \xD800")};
  for (const std::wstring& s : samples) EXPECT_EQ(ToWide(FromWide(s)), s);
  EXPECT_EQ(FromWide(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(FromWide(std::wstring(L"\xD83D\xDE00")), "\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace qst
