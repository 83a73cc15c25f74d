// The platform seam: the one place that touches the operating system.
//
// Names. Inside the system every path is 8-bit text in code page 936 with
// backslashes between folders (forward slashes are accepted too). Each side
// maps such a name to the disk:
//   - POSIX: CP936 becomes UTF-8, backslashes become slashes, and each
//     component is matched without regard to ASCII case against what already
//     exists, so an installation copied from Windows works in any case. A name
//     that does not exist yet is created as given.
//   - Win32: CP936 becomes UTF-16 explicitly, whatever the ANSI code page is.
// Paths handed back by this layer (temporary folder, own executable) are in
// the system's form: CP936 text.
//
// Errors. Every call that fails returns false (or an empty result) and leaves
// the system's error number for LastSystemError(): errno on POSIX,
// GetLastError() on Win32. Read it right after the failing call; this layer
// never touches the process-wide error state of base/error.h.
//
// Threads. Every function may be called from any thread. A File object is to
// be used by one thread at a time.
//
// Faults. Every call that changes the disk (a write, a flush, creating,
// moving or deleting a file, making or removing a folder) passes through the
// fault seam at the end of this header, which tests arm to fail such a call,
// end the process at it, or cut the power there. Each side implements the
// System* forms (File's private members and base/platform_system.h); the
// public forms in base/platform_fault.cpp are shared.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qlmr {

// The only ways the system opens files.
enum class FileMode {
  // Existing file; read access; others may read and write; sequential hint.
  kRead,
  // Always created, replacing an existing file; read and write access;
  // others may read and write; archive attribute.
  kCreate,
  // Existing file; read and write access; others may read and write.
  kReadWrite,
};

// An open file. Owns its handle and closes it on destruction. Movable.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` in `mode`, closing what this object held before.
  bool Open(const char* path, FileMode mode);
  bool IsOpen() const { return handle_ != kInvalidHandle; }
  // Closes the handle; false if the system reported an error (the handle is
  // gone either way). Closing a closed file succeeds.
  bool Close();

  // Reads up to `length` bytes at the current position. `*got` receives the
  // count, which is below `length` only at the end of the file.
  bool Read(void* buffer, uint32_t length, uint32_t* got);
  // Writes all `length` bytes at the current position, or fails.
  bool Write(const void* buffer, uint32_t length);
  // Positioned forms. They leave the current position unspecified.
  bool ReadAt(uint64_t position, void* buffer, uint32_t length, uint32_t* got);
  bool WriteAt(uint64_t position, const void* buffer, uint32_t length);

  // Sets the current position. Positions past the end are allowed, as on
  // both systems; a following read gives 0 bytes.
  bool Seek(uint64_t position);
  // Moves to the end; `*position` (if given) receives the file size.
  bool SeekToEnd(uint64_t* position);
  bool Size(uint64_t* size);
  // Durable flush: returns after the data reached the device.
  bool Flush();

 private:
  friend class FaultSeam;
  // Each side's system calls behind Open, Close, Write, WriteAt and Flush.
  bool SystemOpen(const char* path, FileMode mode);
  bool SystemClose();
  bool SystemWrite(const void* buffer, uint32_t length);
  bool SystemWriteAt(uint64_t position, const void* buffer, uint32_t length);
  bool SystemFlush();

  static constexpr intptr_t kInvalidHandle = -1;
  intptr_t handle_ = kInvalidHandle;  // fd on POSIX, HANDLE on Win32
};

// The system's error number of the last failed call on this thread.
int LastSystemError();
// What a system error number means for a write: the disk (or the user's
// quota) is full, the device failed, or something else.
enum class SystemErrorKind { kDiskFull, kIoError, kOther };
SystemErrorKind ClassifySystemError(int systemError);
// The words that tell those apart in a message: "disk full", "I/O error" or
// "error".
const char* SystemErrorWords(int systemError);

// The error number with which a read reports that it met the end of the file
// (Win32 ERROR_HANDLE_EOF). POSIX reads report the end by a short count and
// never by an error, so there it is no error number at all.
#if defined(_WIN32)
constexpr int kEndOfFileError = 38;
#else
constexpr int kEndOfFileError = -1;
#endif

bool PathExists(const char* path);  // a file or a folder
bool IsFolder(const char* path);
// Creates one folder; its parent must exist. False if it exists already.
bool MakeFolder(const char* path);
// Removes an empty folder.
bool RemoveEmptyFolder(const char* path);
// Deletes everything inside `path` (files and folders), keeping the folder.
// Best effort: continues past failures and returns false if any occurred.
bool RemoveFolderContents(const char* path);
bool RemoveFileAt(const char* path);
// Whether both paths name one existing file system object, however they are
// spelled (relative or absolute, another letter case, a link to it). False
// when either does not exist. POSIX: same device and inode after the name
// mapping, links followed. Win32: open both (FILE_FLAG_BACKUP_SEMANTICS, no
// access, sharing all) and compare GetFileInformationByHandle's volume serial
// number and file index.
bool IsSameFileObject(const char* a, const char* b);
// Moves a file, replacing the target; copies across volumes when needed.
// Refuses, with the invalid-argument error number (EINVAL, Win32
// ERROR_INVALID_PARAMETER), when both name one object (IsSameFileObject).
bool MoveFileReplace(const char* from, const char* to);
// Copies a file, replacing the target. Refuses as MoveFileReplace does when
// both name one object: replacing the target would truncate the source.
bool CopyFileReplace(const char* from, const char* to);
// Makes everything written to the file system that holds `path` (a file or
// folder) durable, data and folder entries alike, in one call: POSIX
// syncfs; Win32 FlushFileBuffers on the volume, which needs administrator
// rights and fails without them (ERROR_ACCESS_DENIED), so callers then flush
// each file they wrote instead.
bool FlushFileSystem(const char* path);

struct FolderEntry {
  std::string name;  // CP936, no folder part
  bool isFolder = false;
};
// Lists a folder's entries without "." and "..", in no particular order.
bool ListFolder(const char* path, std::vector<FolderEntry>* entries);

// The folder for temporary files, ending with a separator (as GetTempPathA).
std::string TempFolderPath();
// Makes `folder` the temporary folder of this process and of the programs it
// starts from now on (TMPDIR on POSIX; TMP and TEMP on Win32).
bool SetTempFolder(const char* folder);
// Creates a new empty file named `prefix` + unique hex digits + ".tmp" in
// `folder` and stores its path in `*path` (as GetTempFileNameA).
bool CreateUniqueTempFile(const char* folder, const char* prefix, std::string* path);
// Full path of the running executable; empty on failure.
std::string ExecutablePath();
// The short (8.3) form of an existing path on Win32; `path` unchanged when
// there is no such form. On POSIX: the path as it maps to the disk
// (separators, and letter case of existing components as found there), also
// for a path that does not exist yet.
std::string ShortPathName(const char* path);

// The name under which the C runtime's own file calls (open, fopen) find
// `path`, for a library that opens files by itself: the disk name on POSIX,
// the short form in the ANSI code page on Win32.
std::string RuntimeFileName(const char* path);

// Whether the process's standard error goes to a terminal.
bool StderrIsTerminal();
// Whether the process's standard output goes to a terminal.
bool StdoutIsTerminal();

// The full form of `path`: a relative path is taken from the current folder.
// On POSIX an existing path also has its links resolved, so that it compares
// equal to the paths the process list gives.
std::string FullPathName(const char* path);

// Lets the file be run as a program: adds execute permission wherever read
// permission is (POSIX). Nothing to do on Win32.
bool MarkExecutable(const char* path);

// Keeps folder listings for the lookups of one batch of work (a patch
// apply). On POSIX a name that does not exist as given is looked for under
// another ASCII letter case by reading its folder; while a scope is alive,
// what was read of a folder answers every later lookup in it, and entries
// that this process creates or removes through this layer keep it right.
// Changes that other processes make meanwhile are not seen. Scopes nest;
// the listings go when the outermost one ends. Nothing to do on Win32,
// whose file system ignores the letter case itself. Never fails.
class FolderListingScope {
 public:
  FolderListingScope();
  ~FolderListingScope();
  FolderListingScope(const FolderListingScope&) = delete;
  FolderListingScope& operator=(const FolderListingScope&) = delete;
};

// --- Processes ---------------------------------------------------------------

struct ProcessEntry {
  uint32_t id = 0;
  // The process's executable file, a full path in the system's form; empty
  // when it cannot be read (another user's process, one that has ended).
  std::string imagePath;
  // The file that the first argument of the process's command line names, a
  // full path in the system's form; empty when the argument is no path or
  // names nothing that exists. A program run by a loader (a Windows program
  // under Wine, whose executable is the loader) shows up here. Always empty
  // on Win32, where imagePath is the program itself.
  std::string commandFile;
};

// The id of this process, as EnumerateProcesses gives it.
uint32_t CurrentProcessId();

// How many processors this process may run on (its affinity, which a tool
// such as taskset narrows), at least 1.
uint32_t UsableProcessorCount();

// Calls `visitor` once for each running process, this one included. False
// when the process list cannot be read; the visitor is not called then.
bool EnumerateProcesses(const std::function<void(const ProcessEntry&)>& visitor);

// Ends the process at once, as termination with exit code -1 does (SIGKILL on
// POSIX), and returns without waiting for it to end. False when the process
// cannot be reached (gone, or not ours to end).
bool TerminateProcessById(uint32_t id);

// Starts the program `path`, without arguments, in `workingFolder`, detached
// from this process: not waited for, and without this process's console (its
// own session on POSIX, standard streams on the null device). True when the
// program started.
bool StartDetachedProcess(const char* path, const char* workingFolder);

// --- Console -------------------------------------------------------------------

// Keeps the interrupt key (Ctrl+C) and the interrupt signal from ending the
// process.
void IgnoreInterruptSignal();

// Keys from standard input. On a terminal each key arrives by itself: no echo,
// no line editing, and the signal keys (Ctrl+C, Ctrl+\, Ctrl+Z) are plain
// keys. Any other input (a pipe, a file) is read one line at a time.
// One thread reads; Restore may be called from any thread.
class ConsoleInput {
 public:
  ConsoleInput() = default;
  ~ConsoleInput();  // restores the terminal
  ConsoleInput(const ConsoleInput&) = delete;
  ConsoleInput& operator=(const ConsoleInput&) = delete;

  // Takes over standard input, switching a terminal to single keys. False
  // when a terminal cannot be switched.
  bool Open();
  bool IsTerminal() const { return terminal_; }
  // Blocks for the next input: the bytes of one key press from a terminal
  // (several for a multi-byte character or an escape sequence), or one line
  // without its line end (CR LF or LF) otherwise. False at the end of input
  // or on a failure.
  bool Read(std::string* input);
  // Puts the terminal back as Open found it. Idempotent.
  void Restore();

 private:
  // Each side's reads: the bytes of one key press from the terminal; and up
  // to `size` more bytes of other input, `*got` 0 at its end. False on a
  // failure.
  bool ReadKey(std::string* input);
  bool ReadMore(char* buffer, size_t size, size_t* got);

  bool terminal_ = false;
  std::mutex restoreMutex_;
  bool restorePending_ = false;
  std::vector<uint8_t> savedMode_;  // the terminal's settings before Open
  std::string pending_;             // bytes read past the last line
  bool ended_ = false;
};

// The process's arguments in UTF-8, the program's name first: `argv` as given
// on POSIX; on Win32 the wide command line (`argc` and `argv` unused), so
// that every character arrives whatever the ANSI code page. Also switches
// standard output to binary, so that written bytes arrive unchanged.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

enum class StandardStream { kOutput, kError };
// Writes UTF-8 text to standard output or standard error, after what the C
// runtime holds buffered for it. A Win32 console gets it through the wide
// console functions, so every character shows whatever the code page; a
// pipe, a file or a POSIX terminal gets the bytes as they are.
bool WriteStandardText(StandardStream stream, const std::string& utf8);

// Text conversion between the system's code page 936 and UTF-8. Bytes that
// do not convert are kept as they are, so the result is never empty for a
// non-empty input.
std::string Cp936ToUtf8(const std::string& text);
std::string Utf8ToCp936(const std::string& text);

// --- Fault seam (tests only) ---------------------------------------------------
//
// Counts the calls that change the disk and, when armed with a plan, acts at
// the chosen one. Disarmed (the state of every program but the tests) a call
// costs one relaxed atomic load. Arm it while one thread works on the disk.
//
// The models:
//   kFail       the call fails without effect, with the system's disk-full
//               error (POSIX ENOSPC, Win32 ERROR_DISK_FULL 112) or I/O error
//               (EIO, ERROR_IO_DEVICE 1117); later calls succeed.
//   kCrash      the process ends before the call takes effect.
//   kTornWrite  as kCrash, but a write first puts the first half of its bytes
//               on disk.
//   kPowerCut   the process ends before the call, and of every file's data
//               written since its last flush, each 512-byte sector (and the
//               file's length) keeps its old or its new state at random,
//               drawn from `seed`. Creating (truncating), moving and deleting
//               files and folders count as durable in call order, as on a
//               journaling file system; only data waits for a flush.
// The seam logs the call index, the model and the seed to standard error
// when it acts, so that a failure can be replayed.

enum class FaultModel { kCount, kFail, kCrash, kTornWrite, kPowerCut };
enum class FaultError { kDiskFull, kIoError };

struct FaultPlan {
  FaultModel model = FaultModel::kCount;  // kCount only counts
  uint64_t at = 0;                        // 1-based index of the call to act on
  FaultError error = FaultError::kDiskFull;
  uint32_t seed = 0;
  int exitCode = 86;  // the exit code of the ended process
};

// Starts counting from 0 with `plan`; the plan acts once.
void ArmFaultSeam(const FaultPlan& plan);
// Stops counting and acting.
void DisarmFaultSeam();
// The calls counted since ArmFaultSeam.
uint64_t FaultSeamCalls();
// Whether the plan has acted (a kFail call was failed).
bool FaultSeamFired();

}  // namespace qlmr
