// Listing folders and asking for a file's attributes: GetFileAttributesW,
// FindFirstFileW, FindNextFileW and FindClose. The host build checks its
// replacements; the Windows build runs the same expectations under Wine.
#include <filesystem>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

#ifndef _WIN32
#include <unistd.h>

#include "platform/host/host_control.h"
#endif

namespace {

using testing_support::Narrow;
using testing_support::Widen;
using testing_support::WString;

namespace fs = std::filesystem;

// A folder of the test's own in the current folder, given as a Windows path.
class FileListingTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(kFolder);
    fs::create_directories(fs::u8path(std::string(kFolder) + "/sub"));
    Write("a.txt", "12345");
    Write("\xC3\xA9\xE2\x82\xAC.log", "");  // "é€.log"
  }
  void TearDown() override { fs::remove_all(kFolder); }

  static void Write(const std::string& name, const std::string& bytes) {
    const WString path = Path(name);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
  }

  // FOLDER\name, the name UTF-8.
  static WString Path(const std::string& name) { return Widen(std::string(kFolder) + "\\" + name); }

  // The entries a search of FOLDER\* reports: name to attributes and size.
  static std::map<std::string, std::pair<DWORD, DWORD>> List(const std::string& folder) {
    std::map<std::string, std::pair<DWORD, DWORD>> entries;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(Widen(folder + "\\*").c_str(), &data);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
      entries[Narrow(data.cFileName)] = {data.dwFileAttributes, data.nFileSizeLow};
    } while (FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(search));
    return entries;
  }

  static constexpr const char* kFolder = "file_listing_scratch";
};

TEST_F(FileListingTest, SearchListsEveryEntryOnce) {
#ifndef _WIN32
  const int handles = host::OpenKernelHandleCount();
#endif
  const auto entries = List(kFolder);
  ASSERT_EQ(entries.size(), 5u);
  for (const char* name : {".", "..", "sub"}) {
    ASSERT_TRUE(entries.count(name)) << name;
    EXPECT_TRUE(entries.at(name).first & FILE_ATTRIBUTE_DIRECTORY) << name;
  }
  ASSERT_TRUE(entries.count("a.txt"));
  EXPECT_FALSE(entries.at("a.txt").first & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(entries.at("a.txt").second, 5u);
  ASSERT_TRUE(entries.count("\xC3\xA9\xE2\x82\xAC.log"));
  EXPECT_FALSE(entries.at("\xC3\xA9\xE2\x82\xAC.log").first & FILE_ATTRIBUTE_DIRECTORY);
  // An empty folder still lists itself and its parent.
  EXPECT_EQ(List(std::string(kFolder) + "\\sub").size(), 2u);
#ifndef _WIN32
  EXPECT_EQ(host::OpenKernelHandleCount(), handles);
#endif
}

TEST_F(FileListingTest, MissingFoldersAndFiles) {
  WIN32_FIND_DATAW data;
  EXPECT_EQ(FindFirstFileW(Path("missing\\*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A file is no folder to list.
  EXPECT_EQ(FindFirstFileW(Path("a.txt\\*").c_str(), &data), INVALID_HANDLE_VALUE);

  EXPECT_EQ(GetFileAttributesW(Path("missing.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(Path("missing\\a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileListingTest, AttributesTellFoldersFromFiles) {
  const DWORD folder = GetFileAttributesW(Widen(kFolder).c_str());
  ASSERT_NE(folder, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(folder & FILE_ATTRIBUTE_DIRECTORY);
  const DWORD file = GetFileAttributesW(Path("\xC3\xA9\xE2\x82\xAC.log").c_str());
  ASSERT_NE(file, INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(file & FILE_ATTRIBUTE_DIRECTORY);
}

#ifndef _WIN32
// A symbolic link is reported itself, as Windows reports one, so that a walk
// can tell a link to a folder from the folder; a search handle is closed by
// FindClose only.
TEST_F(FileListingTest, HostLinksAndSearchHandles) {
  ASSERT_EQ(symlink("sub", (std::string(kFolder) + "/to_sub").c_str()), 0);
  ASSERT_EQ(symlink("a.txt", (std::string(kFolder) + "/to_a").c_str()), 0);
  ASSERT_EQ(symlink("gone", (std::string(kFolder) + "/to_gone").c_str()), 0);
  const auto entries = List(kFolder);
  ASSERT_TRUE(entries.count("to_sub") && entries.count("to_a") && entries.count("to_gone"));
  EXPECT_EQ(entries.at("to_sub").first, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(entries.at("to_a").first, FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(entries.at("to_gone").first, FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(Path("to_sub").c_str()),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);

  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(Path("*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CloseHandle(search));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // The only pattern the host knows is a whole folder.
  EXPECT_EQ(FindFirstFileW(Path("*.txt").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
#endif

}  // namespace
