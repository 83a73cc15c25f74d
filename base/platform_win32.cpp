// Win32 side of the platform layer. Every name crosses to the system as
// UTF-16 converted from code page 936 explicitly, so the program behaves the
// same whatever the system's ANSI code page is.
// windows.h comes first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <ntsecapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/platform_system.h"
#include "base/win32_lookup.h"

namespace qlmr {
namespace {

constexpr UINT kSystemCodePage = 936;

thread_local int t_last_error = 0;

bool Fail() {
  t_last_error = static_cast<int>(GetLastError());
  return false;
}

bool FailWith(DWORD error) {
  t_last_error = static_cast<int>(error);
  return false;
}

std::wstring ToWide(UINT codePage, const std::string& text, DWORD flags = 0) {
  if (text.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0],
                      length);
  return wide;
}

// `usedDefault` (if given) tells whether a character had no form in the code
// page; the UTF-8 code page cannot report that.
std::string FromWide(UINT codePage, const wchar_t* wide, size_t count,
                     bool* usedDefault = nullptr) {
  if (count == 0) return std::string();
  BOOL defaulted = FALSE;
  BOOL* defaultedOut = (usedDefault != nullptr && codePage != CP_UTF8) ? &defaulted : nullptr;
  DWORD flags = defaultedOut != nullptr ? WC_NO_BEST_FIT_CHARS : 0;
  int length = WideCharToMultiByte(codePage, flags, wide, static_cast<int>(count), nullptr, 0,
                                   nullptr, defaultedOut);
  if (length <= 0) {
    if (usedDefault != nullptr) *usedDefault = true;
    return std::string();
  }
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(codePage, flags, wide, static_cast<int>(count), &text[0], length, nullptr,
                      defaultedOut);
  if (usedDefault != nullptr) *usedDefault = defaulted != FALSE;
  return text;
}

std::string FromWide(UINT codePage, const std::wstring& wide) {
  return FromWide(codePage, wide.data(), wide.size());
}

// A system name on the disk: UTF-16 with backslashes. Slashes are swapped
// after the conversion, where no trail byte can be mistaken for one.
std::wstring DiskName(const char* name) {
  std::wstring wide = ToWide(kSystemCodePage, name == nullptr ? "" : name);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

std::string SystemName(const std::wstring& wide) { return FromWide(kSystemCodePage, wide); }

// The short (8.3) form of an existing path; empty when there is none.
std::wstring ShortDiskName(const std::wstring& path) {
  DWORD length = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (length == 0) return std::wstring();
  std::wstring buffer(length, L'\0');
  length = GetShortPathNameW(path.c_str(), &buffer[0], length);
  if (length == 0 || length >= buffer.size()) return std::wstring();
  buffer.resize(length);
  return buffer;
}

// A path the system gave, in the system's form. Where a character has no
// code page 936 form (a user name in Hangul, "Søren"), the path's short (8.3)
// form, whose names the system made of plainer characters; `*usable` (if
// given) is false when that has none either, and the text then holds "?"
// for what was lost, which names nothing.
std::string SystemPathName(const std::wstring& path, bool* usable = nullptr) {
  bool lost = false;
  std::string text = FromWide(kSystemCodePage, path.data(), path.size(), &lost);
  if (lost) {
    std::wstring shortName = ShortDiskName(path);
    bool shortLost = true;
    std::string shortText =
        FromWide(kSystemCodePage, shortName.data(), shortName.size(), &shortLost);
    if (!shortName.empty() && !shortLost) {
      text = shortText;
      lost = false;
    }
  }
  if (usable != nullptr) *usable = !lost;
  return text;
}

HANDLE ToHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// One character of either code page at `text[pos]`, converted to the other
// one; `*length` receives its byte count. False when it does not convert.
bool ConvertOneCharacter(const std::string& text, size_t pos, bool fromCp936, std::string* out,
                         size_t* length) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  size_t count = 1;
  if (fromCp936) {
    if (lead >= 0x81 && lead <= 0xFE) count = 2;
  } else if (lead >= 0xF0) {
    count = 4;
  } else if (lead >= 0xE0) {
    count = 3;
  } else if (lead >= 0xC0) {
    count = 2;
  }
  *length = 1;
  if (pos + count > text.size()) return false;
  std::string piece = text.substr(pos, count);
  std::wstring wide = ToWide(fromCp936 ? kSystemCodePage : CP_UTF8, piece, MB_ERR_INVALID_CHARS);
  if (wide.empty()) return false;
  bool defaulted = false;
  std::string converted =
      FromWide(fromCp936 ? CP_UTF8 : kSystemCodePage, wide.data(), wide.size(), &defaulted);
  if (converted.empty() || defaulted) return false;
  *out += converted;
  *length = count;
  return true;
}

// Converts character by character so that bytes that do not convert are kept
// as they are.
std::string ConvertKeepingBytes(const std::string& text, bool fromCp936) {
  std::string out;
  out.reserve(text.size() * 3 / 2);
  for (size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      out += text[pos++];
      continue;
    }
    size_t length = 1;
    if (!ConvertOneCharacter(text, pos, fromCp936, &out, &length)) out += text[pos];
    pos += length;
  }
  return out;
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 1 && path.back() == L'\\') path.pop_back();
  return path;
}

bool IsDots(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

}  // namespace

bool File::SystemOpen(const char* path, FileMode mode) {
  SystemClose();
  if (path == nullptr || path[0] == '\0') return FailWith(ERROR_FILE_NOT_FOUND);
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case FileMode::kRead:
      attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
      break;
    case FileMode::kCreate:
      access |= GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      attributes = FILE_ATTRIBUTE_ARCHIVE;
      break;
    case FileMode::kReadWrite:
      access |= GENERIC_WRITE;
      break;
    case FileMode::kCreateFresh:
      access |= GENERIC_WRITE;
      disposition = CREATE_NEW;
      attributes = FILE_ATTRIBUTE_ARCHIVE;
      break;
  }
  std::wstring disk = DiskName(path);
  auto open = [&] {
    return CreateFileW(disk.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, attributes, nullptr);
  };
  HANDLE handle = open();
  // What stands at a fresh file's name goes first: a link itself, never
  // what it points to.
  if (handle == INVALID_HANDLE_VALUE && mode == FileMode::kCreateFresh &&
      GetLastError() == ERROR_FILE_EXISTS && DeleteFileW(disk.c_str())) {
    handle = open();
  }
  if (handle == INVALID_HANDLE_VALUE) return Fail();
  handle_ = reinterpret_cast<intptr_t>(handle);
  return true;
}

bool File::SystemClose() {
  if (handle_ == kInvalidHandle) return true;
  HANDLE handle = ToHandle(handle_);
  handle_ = kInvalidHandle;
  return CloseHandle(handle) ? true : Fail();
}

bool File::Read(void* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  char* out = static_cast<char*>(buffer);
  while (*got < length) {
    DWORD n = 0;
    if (!ReadFile(ToHandle(handle_), out + *got, length - *got, &n, nullptr)) return Fail();
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool File::SystemWrite(const void* buffer, uint32_t length) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    DWORD n = 0;
    if (!WriteFile(ToHandle(handle_), in + done, length - done, &n, nullptr)) return Fail();
    if (n == 0) return FailWith(ERROR_WRITE_FAULT);
    done += n;
  }
  return true;
}

namespace {

OVERLAPPED At(uint64_t position) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
  return overlapped;
}

}  // namespace

bool File::ReadAt(uint64_t position, void* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  char* out = static_cast<char*>(buffer);
  while (*got < length) {
    OVERLAPPED overlapped = At(position + *got);
    DWORD n = 0;
    if (!ReadFile(ToHandle(handle_), out + *got, length - *got, &n, &overlapped)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return Fail();
    }
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool File::SystemWriteAt(uint64_t position, const void* buffer, uint32_t length) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    OVERLAPPED overlapped = At(position + done);
    DWORD n = 0;
    if (!WriteFile(ToHandle(handle_), in + done, length - done, &n, &overlapped)) return Fail();
    if (n == 0) return FailWith(ERROR_WRITE_FAULT);
    done += n;
  }
  return true;
}

bool File::Seek(uint64_t position) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(position);
  return SetFilePointerEx(ToHandle(handle_), distance, nullptr, FILE_BEGIN) ? true : Fail();
}

bool File::SeekToEnd(uint64_t* position) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER end;
  if (!SetFilePointerEx(ToHandle(handle_), zero, &end, FILE_END)) return Fail();
  if (position != nullptr) *position = static_cast<uint64_t>(end.QuadPart);
  return true;
}

bool File::Size(uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(ToHandle(handle_), &value)) return Fail();
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool File::SystemFlush() { return FlushFileBuffers(ToHandle(handle_)) ? true : Fail(); }

int LastSystemError() { return t_last_error; }

void SetLastSystemError(int systemError) { t_last_error = systemError; }

int SystemErrorFor(FaultError error) {
  return static_cast<int>(error == FaultError::kDiskFull ? ERROR_DISK_FULL : ERROR_IO_DEVICE);
}

std::string SystemErrorText(int systemError) {
  wchar_t* buffer = nullptr;
  DWORD length = 0;
  // English as the tools' other words are; the system's own language where
  // it has no English texts.
  for (DWORD language : {static_cast<DWORD>(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), 0ul}) {
    length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(systemError), language, reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length != 0) break;
  }
  std::string text = length == 0 ? std::string() : FromWide(CP_UTF8, buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  // The system's sentence ends with a full stop and a line end.
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) return "error " + std::to_string(systemError);
  if (text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

SystemErrorKind ClassifySystemError(int systemError) {
  if (systemError == ERROR_DISK_FULL || systemError == ERROR_HANDLE_DISK_FULL) {
    return SystemErrorKind::kDiskFull;
  }
  // ERROR_IO_DEVICE is what a failing disk or a pulled USB stick gives.
  return systemError == ERROR_IO_DEVICE || systemError == ERROR_WRITE_FAULT ||
                 systemError == ERROR_READ_FAULT || systemError == ERROR_CRC
             ? SystemErrorKind::kIoError
             : SystemErrorKind::kOther;
}

namespace {

// Flushes a whole volume ("C:\\" or a folder it is mounted at): every file
// on it. Needs administrator rights.
bool FlushVolume(const std::wstring& volumePath) {
  wchar_t name[MAX_PATH];
  if (!GetVolumeNameForVolumeMountPointW(volumePath.c_str(), name, MAX_PATH)) return false;
  std::wstring device = name;  // "\\?\Volume{...}\": the volume without the final
  if (!device.empty() && device.back() == L'\\') device.pop_back();  // separator
  HANDLE volume =
      CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return false;
  bool ok = FlushFileBuffers(volume) != 0;
  CloseHandle(volume);
  return ok;
}

// Flushes one file or folder.
bool FlushOne(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Fail();
  bool ok = FlushFileBuffers(handle) ? true : Fail();
  CloseHandle(handle);
  return ok;
}

}  // namespace

bool SystemMakeDurable(const std::vector<std::string>& paths, std::string* failedPath) {
  // Each volume is flushed once, at its first path; where that is refused,
  // each of its paths and their folders are flushed instead.
  std::vector<std::wstring> flushed;
  std::vector<std::wstring> refused;
  auto has = [](const std::vector<std::wstring>& volumes, const wchar_t* volume) {
    for (const std::wstring& known : volumes) {
      if (_wcsicmp(known.c_str(), volume) == 0) return true;
    }
    return false;
  };
  for (const std::string& path : paths) {
    std::wstring disk = DiskName(path.c_str());
    if (GetFileAttributesW(disk.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *failedPath = path;
      return Fail();
    }
    wchar_t volume[MAX_PATH + 1];
    bool found = GetVolumePathNameW(disk.c_str(), volume, MAX_PATH + 1) != 0;
    if (found && has(flushed, volume)) continue;
    if (found && !has(refused, volume)) {
      if (FlushVolume(volume)) {
        flushed.push_back(volume);
        continue;
      }
      refused.push_back(volume);
    }
    if (!FlushOne(disk)) {
      *failedPath = path;
      return false;
    }
    // NTFS logs folder entries and a file's flush writes that log; a
    // folder's own flush, where the system refuses it, is not needed.
    size_t separator = WithoutTrailingSeparator(disk).find_last_of(L'\\');
    if (separator != std::wstring::npos) FlushOne(disk.substr(0, separator + 1));
  }
  return true;
}

bool PathExists(const char* path) {
  return GetFileAttributesW(DiskName(path).c_str()) != INVALID_FILE_ATTRIBUTES ? true : Fail();
}

bool IsFolder(const char* path) {
  DWORD attributes = GetFileAttributesW(DiskName(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SystemMakeFolder(const char* path) {
  return CreateDirectoryW(DiskName(path).c_str(), nullptr) ? true : Fail();
}

bool SystemRemoveEmptyFolder(const char* path) {
  return RemoveDirectoryW(DiskName(path).c_str()) ? true : Fail();
}

namespace {

// Deletes a file, taking away a read-only attribute that would stop it.
bool DeleteDiskFile(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return true;
  DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) &&
      DeleteFileW(path.c_str())) {
    return true;
  }
  return FailWith(error);
}

bool RemoveTree(const std::wstring& folder, bool removeSelf) {
  bool ok = true;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return Fail();
  do {
    if (IsDots(found.cFileName)) continue;
    std::wstring child = folder + L"\\" + found.cFileName;
    bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (isFolder && !isLink) {
      ok = RemoveTree(child, true) && ok;
    } else if (isFolder) {
      if (!RemoveDirectoryW(child.c_str())) ok = Fail();  // the link, not its target
    } else if (!DeleteDiskFile(child)) {
      ok = false;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  if (removeSelf && !RemoveDirectoryW(folder.c_str())) ok = Fail();
  return ok;
}

}  // namespace

bool SystemRemoveFolderContents(const char* path) {
  return RemoveTree(WithoutTrailingSeparator(DiskName(path)), false);
}

bool SystemRemoveFileAt(const char* path) {
  return DeleteFileW(DiskName(path).c_str()) ? true : Fail();
}

namespace {

// The volume and file index of an existing file or folder: the identity that
// no spelling of its name changes.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* information) {
  HANDLE handle =
      CreateFileW(DiskName(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Fail();
  bool ok = GetFileInformationByHandle(handle, information) ? true : Fail();
  CloseHandle(handle);
  return ok;
}

// True, with ERROR_INVALID_PARAMETER, when both name one object: moving or
// copying it onto itself would lose or truncate it.
bool RefuseSameObject(const char* from, const char* to) {
  BY_HANDLE_FILE_INFORMATION first;
  BY_HANDLE_FILE_INFORMATION second;
  if (!FileIdentity(from, &first) || !FileIdentity(to, &second)) return false;
  if (first.dwVolumeSerialNumber != second.dwVolumeSerialNumber ||
      first.nFileIndexHigh != second.nFileIndexHigh ||
      first.nFileIndexLow != second.nFileIndexLow) {
    return false;
  }
  FailWith(ERROR_INVALID_PARAMETER);
  return true;
}

}  // namespace

bool IsSameFileObject(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION first;
  BY_HANDLE_FILE_INFORMATION second;
  if (!FileIdentity(a, &first) || !FileIdentity(b, &second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

bool SystemMoveFileReplace(const char* from, const char* to) {
  if (RefuseSameObject(from, to)) return false;
  std::wstring source = DiskName(from);
  std::wstring target = DiskName(to);
  if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) return Fail();
  // Across volumes: a copy in a new file beside the target takes its place,
  // so that a link at the target is replaced, not written through.
  std::wstring copy = target + L".~move";
  DeleteFileW(copy.c_str());
  if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) return Fail();
  if (!MoveFileExW(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DWORD error = GetLastError();
    DeleteFileW(copy.c_str());
    return FailWith(error);
  }
  return DeleteFileW(source.c_str()) ? true : Fail();
}

bool SystemCopyFileReplace(const char* from, const char* to) {
  if (RefuseSameObject(from, to)) return false;
  return CopyFileW(DiskName(from).c_str(), DiskName(to).c_str(), FALSE) ? true : Fail();
}

bool SystemLinkFile(const char* from, const char* to) {
  return CreateHardLinkW(DiskName(to).c_str(), DiskName(from).c_str(), nullptr) ? true : Fail();
}

bool FileModificationTime(const char* path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(DiskName(path).c_str(), GetFileExInfoStandard, &data)) return Fail();
  // 100-nanosecond intervals since 1601-01-01 UTC.
  uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                   data.ftLastWriteTime.dwLowDateTime;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  *seconds = static_cast<int64_t>(ticks / 10000000u) - kSecondsFrom1601To1970;
  return true;
}

std::string CurrentFolder() {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  if (length == 0) {
    Fail();
    return std::string();
  }
  std::wstring wide(length, L'\0');
  length = GetCurrentDirectoryW(length, &wide[0]);
  if (length == 0) {
    Fail();
    return std::string();
  }
  wide.resize(length);
  return SystemName(wide);
}

bool SetCurrentFolder(const char* path) {
  return SetCurrentDirectoryW(DiskName(path).c_str()) ? true : Fail();
}

bool ListFolder(const char* path, std::vector<FolderEntry>* entries) {
  entries->clear();
  WIN32_FIND_DATAW found;
  std::wstring pattern = WithoutTrailingSeparator(DiskName(path)) + L"\\*";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // The root of an empty drive has not even "." and "..".
    return GetLastError() == ERROR_FILE_NOT_FOUND && IsFolder(path) ? true : Fail();
  }
  do {
    if (IsDots(found.cFileName)) continue;
    FolderEntry entry;
    bool unencodable = false;
    entry.name = FromWide(kSystemCodePage, found.cFileName, wcslen(found.cFileName), &unencodable);
    if (unencodable) entry.unencodableName = FromWide(CP_UTF8, found.cFileName);
    entry.isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries->push_back(entry);
  } while (FindNextFileW(search, &found));
  DWORD error = GetLastError();
  FindClose(search);
  return error == ERROR_NO_MORE_FILES ? true : FailWith(error);
}

std::string TempFolderPath() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) {
    Fail();
    return std::string();
  }
  return SystemPathName(std::wstring(buffer, length));
}

bool SetTempFolder(const char* folder) {
  std::wstring disk = DiskName(folder);
  return SetEnvironmentVariableW(L"TMP", disk.c_str()) &&
                 SetEnvironmentVariableW(L"TEMP", disk.c_str())
             ? true
             : Fail();
}

bool SystemCreateUniqueTempFile(const char* folder, const char* prefix, std::string* path) {
  // An empty folder is the current one, as on POSIX; the system wants it named.
  std::wstring disk = DiskName(folder);
  bool current = disk.empty();
  wchar_t buffer[MAX_PATH];
  if (GetTempFileNameW(current ? L"." : disk.c_str(), DiskName(prefix).c_str(), 0, buffer) == 0) {
    return Fail();
  }
  std::wstring made = buffer;
  if (current && made.compare(0, 2, L".\\") == 0) made.erase(0, 2);
  *path = SystemName(made);
  return true;
}

namespace {

// 64 bits from the system's random source.
bool RandomNumber(uint64_t* number) {
  return RtlGenRandom(number, sizeof *number) ? true : FailWith(ERROR_GEN_FAILURE);
}

// An access list that grants this process's user everything, inherited by
// what is made inside, and nobody else anything.
class OwnerOnlyAccess {
 public:
  bool Make() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Fail();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    bool ok = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!ok) return Fail();
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return Fail();
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<uint8_t> user_;
  std::vector<uint8_t> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace

bool SystemMakePrivateFolder(const char* parent, const char* prefix, std::string* path) {
  OwnerOnlyAccess access;
  if (!access.Make()) return false;
  std::string base = parent == nullptr ? "" : parent;
  if (!base.empty() && base.back() != '/' && base.back() != '\\') base += '\\';
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint64_t number = 0;
    if (!RandomNumber(&number)) return false;
    char name[64];
    snprintf(name, sizeof name, "%.32s%016llX.tmp", prefix == nullptr ? "" : prefix,
             static_cast<unsigned long long>(number));
    std::string candidate = base + name;
    if (CreateDirectoryW(DiskName(candidate.c_str()).c_str(), access.attributes())) {
      *path = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return Fail();
  }
  return FailWith(ERROR_ALREADY_EXISTS);
}

bool IsOwnFolder(const char* path) {
  DWORD attributes = GetFileAttributesW(DiskName(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      Fail();
      return std::string();
    }
    if (length < buffer.size()) return SystemPathName(std::wstring(buffer.data(), length));
    buffer.resize(buffer.size() * 2);  // cut short: try a larger buffer
  }
}

std::string SystemPathFromWide(const std::wstring& path) {
  bool usable = false;
  std::string text = SystemPathName(path, &usable);
  return usable ? text : std::string();
}

std::string ShortPathName(const char* path) {
  std::wstring shortName = ShortDiskName(DiskName(path));
  if (shortName.empty()) {
    Fail();
    return path;
  }
  return SystemName(shortName);
}

std::string RuntimeFileName(const char* path) {
  std::wstring disk = DiskName(path);
  std::wstring shortName = ShortDiskName(disk);
  return FromWide(CP_ACP, shortName.empty() ? disk : shortName);
}

std::string Utf8LibraryFileName(const char* path) { return FromWide(CP_UTF8, DiskName(path)); }

namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

bool StdoutIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE); }

std::string FullPathName(const char* path) {
  std::wstring disk = DiskName(path);
  if (disk.empty()) return std::string();
  DWORD length = GetFullPathNameW(disk.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    Fail();
    return std::string();
  }
  std::wstring buffer(length, L'\0');
  length = GetFullPathNameW(disk.c_str(), length, &buffer[0], nullptr);
  if (length == 0 || length >= buffer.size()) {
    Fail();
    return std::string();
  }
  buffer.resize(length);
  return SystemPathName(buffer);
}

bool MarkExecutable(const char*) { return true; }

// The file system ignores the letter case itself: no listing to keep.
FolderListingScope::FolderListingScope() = default;
FolderListingScope::~FolderListingScope() = default;

// --- Processes ---------------------------------------------------------------

namespace {

constexpr int kPlatformNt = 2;
constexpr int kPlatform9x = 1;
constexpr int kPlatformUnknown = -1;

int GetPlatformKind() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) return kPlatformUnknown;
  switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
      return kPlatformNt;
    case VER_PLATFORM_WIN32_WINDOWS:
      return kPlatform9x;
    default:
      return kPlatformUnknown;
  }
}

// Frees a library loaded by name when the walk leaves, on every path.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const wchar_t* name) : module_(LoadLibraryW(name)) {}
  ~LoadedLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

using EnumProcessesFunction = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExFunction = DWORD(WINAPI*)(HANDLE, HMODULE, wchar_t*, DWORD);
using QueryImageNameFunction = BOOL(WINAPI*)(HANDLE, DWORD, wchar_t*, DWORD*);

// Access to a process that the system grants where it refuses more (an
// elevated or protected process, a 64-bit one seen from a 32-bit program);
// from Windows Vista on.
constexpr DWORD kQueryLimitedInformation = 0x1000;

// The image path of process `id` as the process status library reads it
// from the process, or else as the system's limited query gives it (looked
// up at run time: earlier systems lack it); empty when neither can.
std::wstring ImagePathOf(DWORD id, GetModuleFileNameExFunction moduleFileName,
                         QueryImageNameFunction queryImageName) {
  wchar_t image[MAX_PATH];
  DWORD length = 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  if (process != nullptr) {
    length = moduleFileName(process, nullptr, image, MAX_PATH);
    CloseHandle(process);
  }
  if (length == 0 && queryImageName != nullptr) {
    HANDLE limited = OpenProcess(kQueryLimitedInformation, FALSE, id);
    if (limited != nullptr) {
      length = MAX_PATH;
      if (!queryImageName(limited, 0, image, &length)) length = 0;
      CloseHandle(limited);
    }
  }
  return std::wstring(image, length);
}

// The NT family: the process status library. The image path is read in
// UTF-16 so that a Chinese path keeps its characters on any ANSI code page.
bool EnumerateWithProcessStatus(const std::function<void(const ProcessEntry&)>& visitor) {
  LoadedLibrary psapi(L"psapi.dll");
  if (psapi.get() == nullptr) return Fail();
  auto enumProcesses = LookUp<EnumProcessesFunction>(psapi.get(), "EnumProcesses");
  auto enumModules = LookUp<EnumProcessModulesFunction>(psapi.get(), "EnumProcessModules");
  auto moduleFileName = LookUp<GetModuleFileNameExFunction>(psapi.get(), "GetModuleFileNameExW");
  auto queryImageName = LookUp<QueryImageNameFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                       "QueryFullProcessImageNameW");
  if (enumProcesses == nullptr || enumModules == nullptr || moduleFileName == nullptr) {
    return FailWith(ERROR_PROC_NOT_FOUND);
  }
  // The call cannot say how many ids there are: a full buffer may have been
  // cut short, so it doubles until the list fits with room to spare.
  std::vector<DWORD> ids(1024 / sizeof(DWORD));
  DWORD bytes = 0;
  for (;;) {
    DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
    if (!enumProcesses(ids.data(), capacity, &bytes)) return Fail();
    if (bytes < capacity) break;
    ids.resize(ids.size() * 2);
  }
  ids.resize(bytes / sizeof(DWORD));
  for (DWORD id : ids) {
    ProcessEntry entry;
    entry.id = id;
    std::wstring image = ImagePathOf(id, moduleFileName, queryImageName);
    if (!image.empty()) entry.imagePath = SystemPathName(image);
    visitor(entry);
  }
  return true;
}

using CreateSnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

// The 9x family: the tool help snapshot, whose names are in the ANSI code
// page there.
bool EnumerateWithToolHelp(const std::function<void(const ProcessEntry&)>& visitor) {
  LoadedLibrary kernel(L"Kernel32.dll");
  if (kernel.get() == nullptr) return Fail();
  auto createSnapshot = LookUp<CreateSnapshotFunction>(kernel.get(), "CreateToolhelp32Snapshot");
  auto first = LookUp<ProcessWalkFunction>(kernel.get(), "Process32First");
  auto next = LookUp<ProcessWalkFunction>(kernel.get(), "Process32Next");
  if (createSnapshot == nullptr || first == nullptr || next == nullptr) {
    return FailWith(ERROR_PROC_NOT_FOUND);
  }
  HANDLE snapshot = createSnapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return Fail();
  PROCESSENTRY32 process = {};
  process.dwSize = sizeof process;
  for (BOOL more = first(snapshot, &process); more; more = next(snapshot, &process)) {
    ProcessEntry entry;
    entry.id = process.th32ProcessID;
    entry.imagePath = SystemName(ToWide(CP_ACP, process.szExeFile));
    visitor(entry);
    process.dwSize = sizeof process;
  }
  CloseHandle(snapshot);
  return true;
}

// Turns the debug privilege of the own process on or off, so that processes
// of other users can be ended. True only when the token held the privilege.
bool SetDebugPrivilege(bool on) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
  bool ok = false;
  if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    // The call succeeds even when the token lacks the privilege; only the
    // last error tells.
    ok = GetLastError() == ERROR_SUCCESS;
  }
  CloseHandle(token);
  return ok;
}

}  // namespace

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

uint32_t UsableProcessorCount() {
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  uint32_t count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
    for (; processMask != 0; processMask &= processMask - 1) ++count;
  }
  return count > 0 ? count : 1u;
}

bool EnumerateProcesses(const std::function<void(const ProcessEntry&)>& visitor) {
  switch (GetPlatformKind()) {
    case kPlatformNt:
      return EnumerateWithProcessStatus(visitor);
    case kPlatform9x:
      return EnumerateWithToolHelp(visitor);
    default:
      return FailWith(ERROR_NOT_SUPPORTED);
  }
}

bool TerminateProcessById(uint32_t id) {
  SetDebugPrivilege(true);
  bool ok = false;
  DWORD error = ERROR_SUCCESS;
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
  if (process != nullptr) {
    ok = TerminateProcess(process, 0xFFFFFFFFu) != 0;
    if (!ok) error = GetLastError();
    CloseHandle(process);
  } else {
    error = GetLastError();
  }
  SetDebugPrivilege(false);
  return ok ? true : FailWith(error);
}

bool StartDetachedProcess(const char* path, const char* workingFolder) {
  std::wstring program = DiskName(path);
  std::wstring folder = DiskName(workingFolder);
  // The program is named apart from the command line, and the command line
  // quotes it: an unquoted path with blanks would start another program.
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | CREATE_DEFAULT_ERROR_MODE, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
    return Fail();
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

// --- Locks between processes -----------------------------------------------------

NamedLock::Outcome NamedLock::TryLock(const char* folder, const char* name) {
  Release();
  BY_HANDLE_FILE_INFORMATION identity;
  if (!FileIdentity(folder, &identity)) return Outcome::kFailed;
  // The file system ignores the letter case of names, so the lock does too.
  // A double-byte character's trail byte may look like a capital letter.
  std::string folded = name == nullptr ? "" : name;
  for (size_t i = 0; i < folded.size(); ++i) {
    auto c = static_cast<unsigned char>(folded[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      folded[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  uint64_t index = (static_cast<uint64_t>(identity.nFileIndexHigh) << 32) | identity.nFileIndexLow;
  // Global: updates in other sessions (another user, an elevated copy) count.
  std::string lockName = "Global\\" + NamedLockName(identity.dwVolumeSerialNumber, index, folded);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, ToWide(CP_ACP, lockName).c_str());
  Fail();
  if (mutex == nullptr) {
    // A mutex that another user's process made, which ours may not open.
    return t_last_error == ERROR_ACCESS_DENIED ? Outcome::kHeldElsewhere : Outcome::kFailed;
  }
  if (t_last_error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return Outcome::kHeldElsewhere;
  }
  handle_ = reinterpret_cast<intptr_t>(mutex);
  return Outcome::kTaken;
}

void NamedLock::Release() {
  if (handle_ == kNoHandle) return;
  CloseHandle(ToHandle(handle_));
  handle_ = kNoHandle;
}

// --- Console -------------------------------------------------------------------

void IgnoreConsoleSignals() { SetConsoleCtrlHandler(nullptr, TRUE); }

// The window refuses the end of the session while an update runs.
TerminationDeferral::TerminationDeferral() = default;
TerminationDeferral::~TerminationDeferral() = default;

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// Runs on a thread of its own; the work stops at its next check.
static BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  RequestInterrupt();
  return TRUE;
}

void CatchInterruptRequests() { SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }

bool ConsoleInput::Open() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  terminal_ = GetConsoleMode(input, &mode) != 0;
  if (!terminal_) return true;
  savedMode_.assign(reinterpret_cast<uint8_t*>(&mode),
                    reinterpret_cast<uint8_t*>(&mode) + sizeof mode);
  // Single keys: no line editing, no echo, Ctrl+C as a plain key.
  DWORD keys =
      mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
  if (!SetConsoleMode(input, keys)) return Fail();
  std::lock_guard<std::mutex> lock(restoreMutex_);
  restorePending_ = true;
  return true;
}

bool ConsoleInput::ReadKey(std::string* input) {
  wchar_t keys[8];
  DWORD n = 0;
  if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), keys, 8, &n, nullptr)) return Fail();
  if (n == 0) return false;
  *input = FromWide(CP_UTF8, keys, n);
  return true;
}

bool ConsoleInput::ReadMore(char* buffer, size_t size, size_t* got) {
  DWORD n = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &n, nullptr)) {
    // A pipe whose writer has gone ends the input.
    if (GetLastError() != ERROR_BROKEN_PIPE) return Fail();
    n = 0;
  }
  *got = n;
  return true;
}

void ConsoleInput::Restore() {
  std::lock_guard<std::mutex> lock(restoreMutex_);
  if (!restorePending_) return;
  restorePending_ = false;
  DWORD mode = 0;
  memcpy(&mode, savedMode_.data(), sizeof mode);
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), mode);
}

std::vector<std::string> CommandLineArguments(int, char**) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(FromWide(CP_UTF8, std::wstring(wide[i])));
  LocalFree(wide);
  return arguments;
}

bool WriteStandardText(StandardStream stream, const std::string& utf8) {
  bool output = stream == StandardStream::kOutput;
  FILE* file = output ? stdout : stderr;
  HANDLE handle = GetStdHandle(output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) {
    return fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size() ? true : Fail();
  }
  fflush(file);  // what the runtime holds comes first
  std::wstring wide = ToWide(CP_UTF8, utf8);
  for (size_t done = 0; done < wide.size();) {
    DWORD written = 0;
    DWORD chunk = static_cast<DWORD>(wide.size() - done < 8192 ? wide.size() - done : 8192);
    if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0) {
      return Fail();
    }
    done += written;
  }
  return true;
}

std::string Cp936ToUtf8(const std::string& text) { return ConvertKeepingBytes(text, true); }

std::string Utf8ToCp936(const std::string& text) { return ConvertKeepingBytes(text, false); }

}  // namespace qlmr
