// POSIX side of the platform layer (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "base/platform_system.h"
#include "base/posix_names.h"

namespace qlmr {
namespace {

// Thread-local error number of the last failed call, kept apart from errno
// so that later library calls (formatting, freeing) cannot clobber it.
thread_local int t_last_error = 0;

bool Fail() {
  t_last_error = errno;
  return false;
}

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Converts with iconv, copying bytes that do not convert unchanged;
// `*kept` (if given) tells whether there were any.
std::string Convert(const std::string& text, const char* to, const char* from,
                    bool* kept = nullptr) {
  if (kept != nullptr) *kept = false;
  if (IsAscii(text)) return text;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out;
  out.resize(text.size() * 4 + 8);
  char* in_ptr = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* out_ptr = &out[0];
  size_t out_left = out.size();
  while (in_left > 0) {
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) {
      break;
    }
    if (errno == E2BIG) break;  // cannot happen with 4 bytes per input byte
    // EILSEQ or EINVAL: keep the offending byte as it is and go on.
    if (kept != nullptr) *kept = true;
    *out_ptr++ = *in_ptr++;
    --out_left;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - out_left);
  iconv_close(cd);
  return out;
}

std::string FoldAsciiCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// What FolderListingScope keeps: the entries of each folder read so far, by
// their case-folded names, found by the folder's device and inode so that
// every spelling of a folder's path finds the same listing.
struct FolderListing {
  dev_t device;
  ino_t inode;
  std::unordered_map<std::string, size_t> byFolded;  // -> index in names
  std::vector<std::string> names;                    // as on the disk
};

struct FolderListings {
  std::mutex mutex;
  int scopes = 0;
  std::vector<FolderListing> folders;
};

FolderListings& Listings() {
  static FolderListings listings;
  return listings;
}

// The kept listing of `folder`, or null. Call under the listings' lock.
FolderListing* KeptListing(FolderListings& listings, const std::string& folder, struct stat* st) {
  if (stat(folder.empty() ? "." : folder.c_str(), st) != 0) return nullptr;
  for (FolderListing& listing : listings.folders) {
    if (listing.device == st->st_dev && listing.inode == st->st_ino) return &listing;
  }
  return nullptr;
}

// The folder part and the last component of a disk path.
void SplitDiskPath(std::string path, std::string* folder, std::string* leaf) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder->clear();
    *leaf = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *leaf = path.substr(slash + 1);
  }
}

// The first entry of a name's folded form wins, as in a read of the folder.
void AddToListing(FolderListing* listing, const std::string& name) {
  if (listing->byFolded.emplace(FoldAsciiCase(name), listing->names.size()).second) {
    listing->names.push_back(name);
  }
}

// Keeps a kept listing in step with an entry this process made or removed.
// A removed folder drops every listing: its inode may come back as another.
enum class EntryChange { kAdded, kRemoved, kFolderRemoved };
void NoteEntryChange(const std::string& diskPath, EntryChange change) {
  FolderListings& listings = Listings();
  std::lock_guard<std::mutex> lock(listings.mutex);
  if (listings.scopes == 0 || listings.folders.empty()) return;
  if (change == EntryChange::kFolderRemoved) {
    listings.folders.clear();
    return;
  }
  std::string folder, leaf;
  SplitDiskPath(diskPath, &folder, &leaf);
  struct stat st;
  FolderListing* listing = KeptListing(listings, folder, &st);
  if (listing == nullptr) return;
  if (change == EntryChange::kAdded) {
    AddToListing(listing, leaf);
    return;
  }
  auto entry = listing->byFolded.find(FoldAsciiCase(leaf));
  if (entry != listing->byFolded.end() && listing->names[entry->second] == leaf) {
    listing->byFolded.erase(entry);
  }
}

// The entry of `folder` whose name equals `name` ignoring ASCII case.
bool FindEntryIgnoringCase(const std::string& folder, const std::string& name, std::string* found) {
  FolderListings& listings = Listings();
  std::unique_lock<std::mutex> lock(listings.mutex);
  const bool keep = listings.scopes > 0;
  if (!keep) lock.unlock();
  struct stat st;
  FolderListing* listing = keep ? KeptListing(listings, folder, &st) : nullptr;
  if (listing == nullptr) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return false;
    FolderListing read{st.st_dev, st.st_ino, {}, {}};
    bool matched = false;
    while (dirent* entry = readdir(dir)) {
      if (keep) {
        AddToListing(&read, entry->d_name);
      } else if (strcasecmp(entry->d_name, name.c_str()) == 0) {
        *found = entry->d_name;
        matched = true;
        break;
      }
    }
    closedir(dir);
    if (!keep) return matched;
    listings.folders.push_back(std::move(read));
    listing = &listings.folders.back();
  }
  auto entry = listing->byFolded.find(FoldAsciiCase(name));
  if (entry == listing->byFolded.end()) return false;
  *found = listing->names[entry->second];
  return true;
}

std::string DiskPath(const char* name) { return MapNameToDisk(name); }

bool CopyContents(int fromFd, int toFd) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = read(fromFd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(toFd, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

int ToFd(intptr_t handle) { return static_cast<int>(handle); }

// Creates `disk` exclusively, never through a link; what stands there (a
// file, or a link, which goes itself) is removed first. -1 with errno set.
int OpenFresh(const std::string& disk, int flags) {
  flags |= O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(disk.c_str(), flags, 0666);
  if (fd >= 0 || errno != EEXIST) return fd;
  if (unlink(disk.c_str()) != 0 && errno != ENOENT) return -1;
  return open(disk.c_str(), flags, 0666);
}

// 64 bits from the system's random source.
bool RandomNumber(uint64_t* number) {
  uint8_t* out = reinterpret_cast<uint8_t*>(number);
  for (size_t got = 0; got < sizeof *number;) {
    ssize_t n = getrandom(out + got, sizeof *number - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string MapNameToDisk(const char* name) {
  std::string utf8 = Cp936ToUtf8(name == nullptr ? "" : name);
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  // A name that exists as spelled maps to itself: one lookup instead of one
  // per component. Doubled separators are left to the walk, which drops them.
  struct stat whole;
  if (!utf8.empty() && utf8.find("//") == std::string::npos && lstat(utf8.c_str(), &whole) == 0) {
    return utf8;
  }
  std::string result;
  bool absolute = !utf8.empty() && utf8[0] == '/';
  if (absolute) result = "/";
  bool still_exists = true;
  size_t pos = absolute ? 1 : 0;
  while (pos <= utf8.size()) {
    size_t slash = utf8.find('/', pos);
    if (slash == std::string::npos) slash = utf8.size();
    std::string component = utf8.substr(pos, slash - pos);
    pos = slash + 1;
    if (component.empty()) {
      if (slash == utf8.size() && !result.empty() && result.back() != '/') {
        result += '/';  // keep a trailing separator
      }
      continue;
    }
    std::string parent = result;
    if (!result.empty() && result.back() != '/') result += '/';
    std::string candidate = result + component;
    if (still_exists && component != "." && component != "..") {
      struct stat st;
      if (lstat(candidate.c_str(), &st) != 0) {
        std::string found;
        if (FindEntryIgnoringCase(parent, component, &found)) {
          candidate = result + found;
        } else {
          still_exists = false;
        }
      }
    }
    result = candidate;
  }
  return result;
}

FolderListingScope::FolderListingScope() {
  std::lock_guard<std::mutex> lock(Listings().mutex);
  ++Listings().scopes;
}

FolderListingScope::~FolderListingScope() {
  std::lock_guard<std::mutex> lock(Listings().mutex);
  if (--Listings().scopes == 0) Listings().folders.clear();
}

bool File::SystemOpen(const char* path, FileMode mode) {
  SystemClose();
  if (path == nullptr || path[0] == '\0') {
    t_last_error = ENOENT;
    return false;
  }
  int flags = O_CLOEXEC;
  switch (mode) {
    case FileMode::kRead:
      flags |= O_RDONLY;
      break;
    case FileMode::kCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case FileMode::kReadWrite:
    case FileMode::kCreateFresh:
      flags |= O_RDWR;
      break;
  }
  std::string disk = DiskPath(path);
  int fd =
      mode == FileMode::kCreateFresh ? OpenFresh(disk, flags) : open(disk.c_str(), flags, 0666);
  if (fd < 0) return Fail();
  if (mode == FileMode::kCreate || mode == FileMode::kCreateFresh) {
    NoteEntryChange(disk, EntryChange::kAdded);
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    t_last_error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    return false;
  }
  if (mode == FileMode::kRead) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  handle_ = fd;
  return true;
}

bool File::SystemClose() {
  if (handle_ == kInvalidHandle) return true;
  int fd = ToFd(handle_);
  handle_ = kInvalidHandle;
  return close(fd) == 0 ? true : Fail();
}

bool File::Read(void* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  char* out = static_cast<char*>(buffer);
  while (*got < length) {
    ssize_t n = read(ToFd(handle_), out + *got, length - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    *got += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::SystemWrite(const void* buffer, uint32_t length) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = write(ToFd(handle_), in + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    done += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::ReadAt(uint64_t position, void* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  char* out = static_cast<char*>(buffer);
  while (*got < length) {
    ssize_t n =
        pread(ToFd(handle_), out + *got, length - *got, static_cast<off_t>(position + *got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    *got += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::SystemWriteAt(uint64_t position, const void* buffer, uint32_t length) {
  const char* in = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n =
        pwrite(ToFd(handle_), in + done, length - done, static_cast<off_t>(position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    done += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::Seek(uint64_t position) {
  if (lseek(ToFd(handle_), static_cast<off_t>(position), SEEK_SET) < 0) {
    return Fail();
  }
  return true;
}

bool File::SeekToEnd(uint64_t* position) {
  off_t end = lseek(ToFd(handle_), 0, SEEK_END);
  if (end < 0) return Fail();
  if (position != nullptr) *position = static_cast<uint64_t>(end);
  return true;
}

bool File::Size(uint64_t* size) {
  struct stat st;
  if (fstat(ToFd(handle_), &st) != 0) return Fail();
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::SystemFlush() { return fsync(ToFd(handle_)) == 0 ? true : Fail(); }

int LastSystemError() { return t_last_error; }

void SetLastSystemError(int systemError) { t_last_error = systemError; }

int SystemErrorFor(FaultError error) { return error == FaultError::kDiskFull ? ENOSPC : EIO; }

std::string SystemErrorText(int systemError) {
  char buffer[256];
  // The GNU form returns its text, which may not be the buffer.
  std::string text = strerror_r(systemError, buffer, sizeof buffer);
  if (text.empty()) return "error " + std::to_string(systemError);
  text[0] = static_cast<char>(tolower(static_cast<unsigned char>(text[0])));
  return text;
}

SystemErrorKind ClassifySystemError(int systemError) {
  if (systemError == ENOSPC || systemError == EDQUOT) return SystemErrorKind::kDiskFull;
  return systemError == EIO ? SystemErrorKind::kIoError : SystemErrorKind::kOther;
}

bool PathExists(const char* path) {
  struct stat st;
  return stat(DiskPath(path).c_str(), &st) == 0 ? true : Fail();
}

bool IsFolder(const char* path) {
  struct stat st;
  if (stat(DiskPath(path).c_str(), &st) != 0) return Fail();
  return S_ISDIR(st.st_mode);
}

bool SystemMakeFolder(const char* path) {
  std::string disk = DiskPath(path);
  if (mkdir(disk.c_str(), 0777) != 0) return Fail();
  NoteEntryChange(disk, EntryChange::kAdded);
  return true;
}

bool SystemRemoveEmptyFolder(const char* path) {
  std::string disk = DiskPath(path);
  if (rmdir(disk.c_str()) != 0) return Fail();
  NoteEntryChange(disk, EntryChange::kFolderRemoved);
  return true;
}

namespace {

bool RemoveTree(const std::string& diskFolder, bool removeSelf) {
  bool ok = true;
  DIR* dir = opendir(diskFolder.c_str());
  if (dir == nullptr) return Fail();
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  closedir(dir);
  for (const std::string& name : names) {
    std::string child = diskFolder + "/" + name;
    struct stat st;
    if (lstat(child.c_str(), &st) != 0) {
      ok = Fail();
    } else if (S_ISDIR(st.st_mode)) {
      ok = RemoveTree(child, true) && ok;
    } else if (unlink(child.c_str()) != 0) {
      ok = Fail();
    }
  }
  if (removeSelf && rmdir(diskFolder.c_str()) != 0) ok = Fail();
  return ok;
}

}  // namespace

bool SystemRemoveFolderContents(const char* path) {
  bool ok = RemoveTree(DiskPath(path), false);
  NoteEntryChange(std::string(), EntryChange::kFolderRemoved);
  return ok;
}

bool SystemRemoveFileAt(const char* path) {
  std::string disk = DiskPath(path);
  if (unlink(disk.c_str()) != 0) return Fail();
  NoteEntryChange(disk, EntryChange::kRemoved);
  return true;
}

namespace {

bool SameObject(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool IsSameFileObject(const char* a, const char* b) {
  struct stat first;
  struct stat second;
  if (stat(DiskPath(a).c_str(), &first) != 0 || stat(DiskPath(b).c_str(), &second) != 0) {
    return Fail();
  }
  return SameObject(first, second);
}

bool SystemCopyFileReplace(const char* from, const char* to) {
  int in = open(DiskPath(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail();
  // Truncated only once it is known not to be the source.
  std::string disk_to = DiskPath(to);
  int out = open(disk_to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (out < 0) {
    Fail();
    close(in);
    return false;
  }
  NoteEntryChange(disk_to, EntryChange::kAdded);
  struct stat in_stat;
  struct stat out_stat;
  bool ok = fstat(in, &in_stat) == 0 && fstat(out, &out_stat) == 0 ? true : Fail();
  if (ok && SameObject(in_stat, out_stat)) {
    t_last_error = EINVAL;
    ok = false;
  }
  if (ok) ok = ftruncate(out, 0) == 0 && CopyContents(in, out) ? true : Fail();
  close(in);
  if (close(out) != 0 && ok) ok = Fail();
  return ok;
}

bool SystemLinkFile(const char* from, const char* to) {
  std::string disk_to = DiskPath(to);
  if (link(DiskPath(from).c_str(), disk_to.c_str()) != 0) return Fail();
  NoteEntryChange(disk_to, EntryChange::kAdded);
  return true;
}

bool FileModificationTime(const char* path, int64_t* seconds) {
  struct stat st;
  if (stat(DiskPath(path).c_str(), &st) != 0) return Fail();
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

namespace {

// syncfs, or where `wholeFileSystem` is false fsync, of what `disk` names.
bool Sync(const std::string& disk, bool wholeFileSystem) {
  int fd = open(disk.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = (wholeFileSystem ? syncfs(fd) : fsync(fd)) == 0;
  int error = errno;
  close(fd);
  errno = error;
  return ok;
}

}  // namespace

bool SystemMakeDurable(const std::vector<std::string>& paths, std::string* failedPath) {
  // Each file system is synced once, at its first path; where that fails,
  // each of its paths and their folders are synced instead.
  std::vector<dev_t> synced;
  std::vector<dev_t> refused;
  for (const std::string& path : paths) {
    std::string disk = DiskPath(path.c_str());
    struct stat st;
    bool ok = stat(disk.c_str(), &st) == 0;
    if (ok && std::find(synced.begin(), synced.end(), st.st_dev) != synced.end()) continue;
    if (ok && std::find(refused.begin(), refused.end(), st.st_dev) == refused.end()) {
      if (Sync(disk, true)) {
        synced.push_back(st.st_dev);
        continue;
      }
      refused.push_back(st.st_dev);
    }
    size_t slash = disk.rfind('/');
    std::string folder = slash == std::string::npos ? "." : disk.substr(0, slash + 1);
    if (!ok || !Sync(disk, false) || !Sync(folder, false)) {
      *failedPath = path;
      return Fail();
    }
  }
  return true;
}

bool SystemMoveFileReplace(const char* from, const char* to) {
  std::string disk_from = DiskPath(from);
  std::string disk_to = DiskPath(to);
  // rename() of one object onto itself succeeds without doing anything; a
  // caller would take the source for gone.
  struct stat from_stat;
  struct stat to_stat;
  if (stat(disk_from.c_str(), &from_stat) == 0 && stat(disk_to.c_str(), &to_stat) == 0 &&
      SameObject(from_stat, to_stat)) {
    t_last_error = EINVAL;
    return false;
  }
  if (rename(disk_from.c_str(), disk_to.c_str()) == 0) {
    NoteEntryChange(disk_from, EntryChange::kRemoved);
    NoteEntryChange(disk_to, EntryChange::kAdded);
    return true;
  }
  if (errno != EXDEV) return Fail();
  // Across file systems: a copy in a new file beside the target takes its
  // place, so that a link at the target is replaced, not written through.
  std::string copy = disk_to + ".~move";
  int in = open(disk_from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail();
  int out = OpenFresh(copy, O_WRONLY);
  bool ok = out >= 0 && CopyContents(in, out);
  if (!ok) Fail();
  close(in);
  if (out >= 0 && close(out) != 0 && ok) ok = Fail();
  if (ok && rename(copy.c_str(), disk_to.c_str()) != 0) ok = Fail();
  if (!ok) {
    if (out >= 0) unlink(copy.c_str());
    return false;
  }
  NoteEntryChange(disk_to, EntryChange::kAdded);
  if (unlink(disk_from.c_str()) != 0) return Fail();
  NoteEntryChange(disk_from, EntryChange::kRemoved);
  return true;
}

bool ListFolder(const char* path, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::string disk = DiskPath(path);
  DIR* dir = opendir(disk.c_str());
  if (dir == nullptr) return Fail();
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    FolderEntry item;
    bool kept = false;
    item.name = Convert(entry->d_name, "CP936", "UTF-8", &kept);
    if (kept) item.unencodableName = entry->d_name;
    struct stat st;
    std::string child = disk + "/" + entry->d_name;
    item.isFolder = stat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries->push_back(item);
  }
  closedir(dir);
  return true;
}

std::string TempFolderPath() {
  const char* tmp = getenv("TMPDIR");
  std::string folder = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
  if (folder.back() != '/') folder += '/';
  return Utf8ToCp936(folder);
}

bool SetTempFolder(const char* folder) {
  return setenv("TMPDIR", DiskPath(folder).c_str(), 1) == 0 ? true : Fail();
}

bool SystemCreateUniqueTempFile(const char* folder, const char* prefix, std::string* path) {
  std::string base = folder == nullptr ? "" : folder;
  if (!base.empty() && base.back() != '/' && base.back() != '\\') base += '\\';
  // Start from a value that differs between processes, then count up, as
  // GetTempFileNameA does with its 16-bit number.
  unsigned start = static_cast<unsigned>(getpid()) * 2654435761u;
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned number = (start + i) & 0xFFFF;
    if (number == 0) continue;
    char name[32];
    snprintf(name, sizeof name, "%.3s%04X.tmp", prefix == nullptr ? "" : prefix, number);
    std::string candidate = base + name;
    std::string disk = DiskPath(candidate.c_str());
    int fd = open(disk.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      NoteEntryChange(disk, EntryChange::kAdded);
      *path = candidate;
      return true;
    }
    if (errno != EEXIST) return Fail();
  }
  t_last_error = EEXIST;
  return false;
}

bool SystemMakePrivateFolder(const char* parent, const char* prefix, std::string* path) {
  std::string base = parent == nullptr ? "" : parent;
  if (!base.empty() && base.back() != '/' && base.back() != '\\') base += '\\';
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint64_t number = 0;
    if (!RandomNumber(&number)) return Fail();
    char name[64];
    snprintf(name, sizeof name, "%.32s%016llX.tmp", prefix == nullptr ? "" : prefix,
             static_cast<unsigned long long>(number));
    std::string candidate = base + name;
    std::string disk = DiskPath(candidate.c_str());
    if (mkdir(disk.c_str(), 0700) == 0) {
      NoteEntryChange(disk, EntryChange::kAdded);
      *path = candidate;
      return true;
    }
    if (errno != EEXIST) return Fail();
  }
  t_last_error = EEXIST;
  return false;
}

bool IsOwnFolder(const char* path) {
  struct stat st;
  if (lstat(DiskPath(path).c_str(), &st) != 0) return Fail();
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) {
    Fail();
    return std::string();
  }
  return Utf8ToCp936(std::string(buffer, static_cast<size_t>(n)));
}

std::string ShortPathName(const char* path) { return Utf8ToCp936(DiskPath(path)); }

std::string RuntimeFileName(const char* path) { return DiskPath(path); }

std::string Utf8LibraryFileName(const char* path) { return DiskPath(path); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

namespace {

// realpath(3) of a disk path; empty when it does not exist.
std::string ResolvedDiskPath(const std::string& disk) {
  char* resolved = realpath(disk.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result = resolved;
  free(resolved);
  return result;
}

std::string CurrentDiskFolder() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

std::string FullPathName(const char* path) {
  std::string disk = DiskPath(path);
  if (disk.empty()) return std::string();
  if (disk[0] != '/') disk = CurrentDiskFolder() + "/" + disk;
  std::string resolved = ResolvedDiskPath(disk);
  return Utf8ToCp936(resolved.empty() ? disk : resolved);
}

std::string CurrentFolder() {
  std::string disk = CurrentDiskFolder();
  if (disk.empty()) Fail();
  return Utf8ToCp936(disk);
}

bool SetCurrentFolder(const char* path) {
  return chdir(DiskPath(path).c_str()) == 0 ? true : Fail();
}

bool MarkExecutable(const char* path) {
  std::string disk = DiskPath(path);
  struct stat st;
  if (stat(disk.c_str(), &st) != 0) return Fail();
  mode_t mode = st.st_mode & 07777;
  mode |= (mode & 0444) >> 2;  // r-- becomes r-x for owner, group and others
  return chmod(disk.c_str(), mode) == 0 ? true : Fail();
}

// --- Processes ---------------------------------------------------------------

namespace {

std::string ReadLink(const std::string& link) {
  std::vector<char> buffer(4096);
  ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// A whole small file of /proc; empty when it cannot be read.
std::string ReadProcFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

// A variable of a process's environment as /proc shows it.
std::string ProcessVariable(const std::string& environment, const std::string& name) {
  std::string key = name + "=";
  for (size_t pos = 0; pos < environment.size();) {
    size_t end = environment.find('\0', pos);
    if (end == std::string::npos) end = environment.size();
    if (environment.compare(pos, key.size(), key) == 0) {
      return environment.substr(pos + key.size(), end - pos - key.size());
    }
    pos = end + 1;
  }
  return std::string();
}

// The disk path that a Windows path ("C:\Games\qlmr.exe") of a Wine
// process names: the drive is a link in the Wine prefix's dosdevices folder.
std::string WineDiskPath(const std::string& proc, const std::string& windowsPath) {
  std::string environment = ReadProcFile(proc + "/environ");
  std::string prefix = ProcessVariable(environment, "WINEPREFIX");
  if (prefix.empty()) {
    std::string home = ProcessVariable(environment, "HOME");
    if (home.empty()) {
      const char* own_home = getenv("HOME");
      home = own_home == nullptr ? "" : own_home;
    }
    if (home.empty()) return std::string();
    prefix = home + "/.wine";
  }
  char drive = static_cast<char>(tolower(static_cast<unsigned char>(windowsPath[0])));
  std::string path = prefix + "/dosdevices/" + drive + ":" + windowsPath.substr(2);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

// The file that a process's first argument names, resolved; empty if none.
std::string CommandFile(const std::string& proc) {
  std::string cmdline = ReadProcFile(proc + "/cmdline");
  std::string first = cmdline.substr(0, cmdline.find('\0'));
  if (first.empty()) return std::string();
  std::string disk;
  bool windows_form = first.size() > 3 && isalpha(static_cast<unsigned char>(first[0])) &&
                      first[1] == ':' && (first[2] == '\\' || first[2] == '/');
  if (windows_form) {
    disk = WineDiskPath(proc, first);
  } else if (first[0] == '/') {
    disk = first;
  } else if (first.find('/') != std::string::npos) {
    // Relative to the process's folder. A bare name was found on the search
    // path, so it cannot be placed.
    disk = ReadLink(proc + "/cwd") + "/" + first;
  }
  if (disk.empty()) return std::string();
  // Windows names ignore letter case; match them against the disk.
  return Utf8ToCp936(ResolvedDiskPath(MapNameToDisk(Utf8ToCp936(disk).c_str())));
}

bool IsAllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

}  // namespace

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t UsableProcessorCount() {
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<uint32_t>(CPU_COUNT(&set));
  }
#endif
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint32_t>(online) : 1u;
}

bool EnumerateProcesses(const std::function<void(const ProcessEntry&)>& visitor) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return Fail();
  std::vector<uint32_t> ids;
  while (dirent* entry = readdir(dir)) {
    if (IsAllDigits(entry->d_name)) ids.push_back(static_cast<uint32_t>(atol(entry->d_name)));
  }
  closedir(dir);
  for (uint32_t id : ids) {
    std::string proc = "/proc/" + std::to_string(id);
    ProcessEntry process;
    process.id = id;
    std::string image = ReadLink(proc + "/exe");
    if (!image.empty()) process.imagePath = Utf8ToCp936(image);
    process.commandFile = CommandFile(proc);
    visitor(process);
  }
  return true;
}

bool TerminateProcessById(uint32_t id) {
  if (id == 0 || id > static_cast<uint32_t>(INT32_MAX)) {
    t_last_error = ESRCH;
    return false;
  }
  return kill(static_cast<pid_t>(id), SIGKILL) == 0 ? true : Fail();
}

namespace {

// What IgnoreConsoleSignals ignores.
constexpr int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGPIPE};

// A started program begins with the signals' defaults: an ignored signal
// would be ignored there too. Async-signal-safe.
void ResetConsoleSignals() {
  for (int signal_number : kConsoleSignals) signal(signal_number, SIG_DFL);
}

// Reports errno through `fd` and ends a forked child. Async-signal-safe.
[[noreturn]] void ChildFailed(int fd) {
  int error = errno;
  ssize_t ignored = write(fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool StartDetachedProcess(const char* path, const char* workingFolder) {
  // Everything the children need is prepared before fork: only
  // async-signal-safe calls may follow it in a threaded process.
  std::string disk_path = DiskPath(path);
  std::string diskFolder = DiskPath(workingFolder);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return Fail();
  pid_t child = fork();
  if (child < 0) {
    Fail();
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    // The intermediate child leaves at once, so the program is not our child
    // and never has to be waited for.
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) ChildFailed(report[1]);
    if (grandchild > 0) _exit(0);
    if (chdir(diskFolder.c_str()) != 0) ChildFailed(report[1]);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) ChildFailed(report[1]);
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
    ResetConsoleSignals();
    execl(disk_path.c_str(), disk_path.c_str(), static_cast<char*>(nullptr));
    ChildFailed(report[1]);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes without data once the program was started (close on exec).
  int error = 0;
  ssize_t n;
  do {
    n = read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n > 0) {
    t_last_error = error;
    return false;
  }
  return true;
}

// --- Locks between processes -----------------------------------------------------

NamedLock::Outcome NamedLock::TryLock(const char* folder, const char* name) {
  Release();
  struct stat st;
  if (stat(DiskPath(folder).c_str(), &st) != 0) {
    Fail();
    return Outcome::kFailed;
  }
  std::string lockName =
      NamedLockName(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                    name == nullptr ? "" : name);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail();
    return Outcome::kFailed;
  }
  // A name in the abstract namespace starts with a zero byte; it lives as
  // long as the socket bound to it.
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, lockName.data(), lockName.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + lockName.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
    handle_ = fd;
    return Outcome::kTaken;
  }
  Fail();
  close(fd);
  return t_last_error == EADDRINUSE ? Outcome::kHeldElsewhere : Outcome::kFailed;
}

void NamedLock::Release() {
  if (handle_ == kNoHandle) return;
  close(ToFd(handle_));
  handle_ = kNoHandle;
}

// --- Console -------------------------------------------------------------------

void IgnoreConsoleSignals() {
  for (int signal_number : kConsoleSignals) signal(signal_number, SIG_IGN);
}

namespace {

// 0: no TerminationDeferral; 1: one lives; 2: one lives and a request to end
// the process came meanwhile.
std::atomic<int> g_termination{0};

// Ends the process as SIGTERM's default does. Async-signal-safe.
void EndAsRequested() {
  signal(SIGTERM, SIG_DFL);
  raise(SIGTERM);
}

void OnTerminationRequest(int) {
  int expected = 1;
  if (!g_termination.compare_exchange_strong(expected, 2) && expected == 0) EndAsRequested();
}

}  // namespace

TerminationDeferral::TerminationDeferral() {
  g_termination.store(1);
  struct sigaction action = {};
  action.sa_handler = &OnTerminationRequest;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}

TerminationDeferral::~TerminationDeferral() {
  if (g_termination.exchange(0) == 2) EndAsRequested();
}

int TerminalColumns() {
  struct winsize size = {};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void CatchInterruptRequests() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = [](int) { RequestInterrupt(); };
  sigemptyset(&action.sa_mask);
  // Reads and writes in progress go on: the work stops at its next check.
  action.sa_flags = SA_RESTART;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

bool ConsoleInput::Open() {
  terminal_ = isatty(STDIN_FILENO) == 1;
  if (!terminal_) return true;
  struct termios mode;
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return Fail();
  savedMode_.assign(reinterpret_cast<uint8_t*>(&mode),
                    reinterpret_cast<uint8_t*>(&mode) + sizeof mode);
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) != 0) return Fail();
  std::lock_guard<std::mutex> lock(restoreMutex_);
  restorePending_ = true;
  return true;
}

bool ConsoleInput::ReadKey(std::string* input) {
  // Room for a pasted line in one read.
  char buffer[512];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? false : Fail();
    input->assign(buffer, static_cast<size_t>(n));
    return true;
  }
}

bool ConsoleInput::ReadMore(char* buffer, size_t size, size_t* got) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    *got = static_cast<size_t>(n);
    return true;
  }
}

void ConsoleInput::Restore() {
  std::lock_guard<std::mutex> lock(restoreMutex_);
  if (!restorePending_) return;
  restorePending_ = false;
  struct termios mode;
  memcpy(&mode, savedMode_.data(), sizeof mode);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool WriteStandardText(StandardStream stream, const std::string& utf8) {
  FILE* file = stream == StandardStream::kOutput ? stdout : stderr;
  return fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size() ? true : Fail();
}

std::string Cp936ToUtf8(const std::string& text) { return Convert(text, "UTF-8", "CP936"); }

std::string Utf8ToCp936(const std::string& text) { return Convert(text, "CP936", "UTF-8"); }

}  // namespace qlmr
