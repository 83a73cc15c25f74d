// The Win32 side of the platform layer: sharing modes, CP936 names whatever
// the ANSI code page, short names.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

const char kChineseCp936[] = "\xCA\xFD\xBE\xDD";  // 数据
const wchar_t kChineseWide[] = L"\x6570\x636E";   // 数据

std::wstring Wide(const std::string& cp936) {
  int length = MultiByteToWideChar(936, 0, cp936.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(936, 0, cp936.c_str(), -1, &wide[0], length);
  wide.resize(wide.size() - 1);
  return wide;
}

// A handle of another program on the file, with its own access and sharing.
class ForeignHandle {
 public:
  ForeignHandle(const std::string& path, DWORD access, DWORD share)
      : handle_(CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~ForeignHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

TEST(Win32FileTest, OurModesShareReadingAndWritingWithOthers) {
  TempDir dir;
  std::string path = dir.Join("shared.bin");
  WriteFileOrDie(path, "data");
  for (FileMode mode : {FileMode::kRead, FileMode::kReadWrite, FileMode::kCreate}) {
    File ours;
    ASSERT_TRUE(ours.Open(path.c_str(), mode));
    ForeignHandle writer(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_TRUE(writer.open()) << "mode " << static_cast<int>(mode);
  }
}

TEST(Win32FileTest, OthersSharingDecidesWhichOfOurModesOpen) {
  struct Case {
    const char* name;
    DWORD access;
    DWORD share;
    FileMode mode;
    bool opens;
  } cases[] = {
      {"reader sharing reading: we read", GENERIC_READ, FILE_SHARE_READ, FileMode::kRead, true},
      {"reader sharing reading: we write", GENERIC_READ, FILE_SHARE_READ, FileMode::kReadWrite,
       false},
      {"reader sharing reading: we replace", GENERIC_READ, FILE_SHARE_READ, FileMode::kCreate,
       false},
      {"writer sharing both: we read", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
       FileMode::kRead, true},
      {"writer sharing both: we write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
       FileMode::kReadWrite, true},
      {"sharing nothing: we read", GENERIC_READ, 0, FileMode::kRead, false},
  };
  TempDir dir;
  std::string path = dir.Join("file.bin");
  WriteFileOrDie(path, "data");
  for (const Case& c : cases) {
    ForeignHandle other(path, c.access, c.share);
    ASSERT_TRUE(other.open()) << c.name;
    File ours;
    EXPECT_EQ(ours.Open(path.c_str(), c.mode), c.opens) << c.name;
    if (!c.opens) {
      EXPECT_EQ(LastSystemError(), ERROR_SHARING_VIOLATION) << c.name;
    }
  }
}

TEST(Win32FileTest, CreatedFilesCarryTheArchiveAttribute) {
  TempDir dir;
  std::string path = dir.Join("new.bin");
  File file;
  ASSERT_TRUE(file.Open(path.c_str(), FileMode::kCreate));
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_ARCHIVE, 0u);
}

TEST(Win32NamesTest, Cp936NamesReachTheDiskOnANonChineseCodePage) {
  // The test means something only where the ANSI functions would garble the
  // name; run it with a western locale (Wine's default here).
  if (GetACP() == 936) GTEST_SKIP() << "the ANSI code page is 936";
  TempDir dir;
  WriteFileOrDie(dir.Join(std::string(kChineseCp936) + ".txt"), "cn");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((Wide(dir.path()) + L"\\*.txt").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(std::wstring(found.cFileName), std::wstring(kChineseWide) + L".txt");
  EXPECT_EQ(TempFolderPath().find('?'), std::string::npos);
}

TEST(Win32NamesTest, ShortNamesNameTheSameFile) {
  TempDir dir;
  std::string path = dir.Join("A Long Folder Name\\" + std::string(kChineseCp936) + " file.text");
  WriteFileOrDie(path, "content");
  std::string shortName = ShortPathName(path.c_str());
  EXPECT_NE(shortName, path);
  EXPECT_EQ(shortName.find(' '), std::string::npos) << shortName;
  EXPECT_EQ(ReadFileOrEmpty(shortName), "content");
  EXPECT_EQ(ComparePaths(shortName.c_str(), path.c_str()), 0);
  // The runtime's own calls get a name without characters of code page 936.
  std::string runtimeName = RuntimeFileName(path.c_str());
  for (unsigned char c : runtimeName) EXPECT_LT(c, 0x80) << runtimeName;
  // A path that does not exist has no short form and comes back as given.
  std::string missing = dir.Join("Not There At All.txt");
  EXPECT_EQ(ShortPathName(missing.c_str()), missing);
}

// Starts the program `client` in `folder`, waits until the process list shows
// it under a path that names its file, and ends it.
void ExpectListedUnderItsPathAndEnd(const std::string& client, const std::string& folder) {
  ASSERT_TRUE(StartDetachedProcess(client.c_str(), folder.c_str()));
  uint32_t id = 0;
  for (int i = 0; i < 400 && id == 0; ++i) {
    EnumerateProcesses([&](const ProcessEntry& process) {
      if (ComparePaths(process.imagePath.c_str(), client.c_str()) == 0) id = process.id;
    });
    if (id == 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_NE(id, 0u) << "the client is not listed under " << client;
  EXPECT_TRUE(TerminateProcessById(id));
}

TEST(Win32ProcessTest, ClientInAChineseFolderIsListedUnderItsCp936Path) {
  TempDir dir;
  std::string client = dir.Join(std::string(kChineseCp936) + "\\qlmr.exe");
  ASSERT_TRUE(CreateFolderChain(dir.Join(kChineseCp936).c_str()));
  ASSERT_TRUE(CopyFileReplace(QLMR_FAKE_CLIENT, client.c_str()));
  ExpectListedUnderItsPathAndEnd(client, dir.path());
}

// Names that code page 936 lacks: a Korean user name, a Danish one.
struct ForeignName {
  const char* what;
  const wchar_t* name;
};
const ForeignName kForeignNames[] = {
    {"Hangul", L"\xD55C\xAE00"},
    {"Danish", L"S\x00F8ren"},
    {"Hangul, long", L"\xD55C\xAE00 temporary folder"},
};

// The folder `name` made below `dir`, in UTF-16.
std::wstring MakeWideFolder(const TempDir& dir, const wchar_t* name) {
  std::wstring folder = Wide(dir.path()) + L"\\" + name;
  EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  return folder;
}

// Whether the file `name` exists in the UTF-16 folder `folder`.
bool WideFileExists(const std::wstring& folder, const wchar_t* name) {
  return GetFileAttributesW((folder + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A path with a character that code page 936 lacks comes back in its short
// form, which names the same folder; before, it came back with "?" in their
// place, naming nothing.
TEST(Win32NamesTest, PathsOutsideCodePage936ComeBackInTheirShortForm) {
  for (const ForeignName& foreign : kForeignNames) {
    SCOPED_TRACE(foreign.what);
    TempDir dir;
    std::wstring folder = MakeWideFolder(dir, foreign.name);
    std::string path = SystemPathFromWide(folder);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.find('?'), std::string::npos) << path;
    EXPECT_TRUE(IsFolder(path.c_str())) << path;
    WriteFileOrDie(JoinPath(path, "x.txt"), "x");
    EXPECT_TRUE(WideFileExists(folder, L"x.txt"));
    // A path that does not exist has no short form: nothing usable.
    EXPECT_EQ(SystemPathFromWide(folder + L"\\" + foreign.name), "");
  }
}

// The temporary folder of a user whose name code page 936 lacks.
TEST(Win32NamesTest, ATemporaryFolderOutsideCodePage936IsUsable) {
  wchar_t tmp[MAX_PATH];
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH), 0u);
  ASSERT_GT(GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH), 0u);
  for (const ForeignName& foreign : kForeignNames) {
    SCOPED_TRACE(foreign.what);
    TempDir dir;
    std::wstring folder = MakeWideFolder(dir, foreign.name);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", folder.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", folder.c_str()));
    std::string path = TempFolderPath();
    SetEnvironmentVariableW(L"TMP", tmp);
    SetEnvironmentVariableW(L"TEMP", temp);
    EXPECT_EQ(path.find('?'), std::string::npos) << path;
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), '\\');
    WriteFileOrDie(path + "patch.bin", "p");
    EXPECT_TRUE(WideFileExists(folder, L"patch.bin")) << path;
  }
}

// A client in such a folder is listed under a path that names its file.
TEST(Win32ProcessTest, AClientInAFolderOutsideCodePage936IsListedUnderItsShortPath) {
  TempDir dir;
  std::wstring folder = MakeWideFolder(dir, kForeignNames[0].name);
  std::wstring client = folder + L"\\qlmr.exe";
  ASSERT_TRUE(CopyFileW(Wide(QLMR_FAKE_CLIENT).c_str(), client.c_str(), FALSE));
  std::string clientPath = SystemPathFromWide(client);
  ASSERT_FALSE(clientPath.empty());
  ExpectListedUnderItsPathAndEnd(clientPath, dir.path());
}

}  // namespace
}  // namespace qlmr
