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
// the system's form: CP936 text; on Win32 a path with a character that has no
// CP936 form comes back in its short (8.3) form, which names the same file.
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
  // A new file where nothing may be planted: whatever stands at the name (a
  // file, or a link, which goes itself and never what it points to) is
  // removed, then the file is created exclusively and never through a link
  // (POSIX O_CREAT|O_EXCL|O_NOFOLLOW, Win32 CREATE_NEW), so that whoever can
  // write into the folder cannot turn the write to another file. Read and
  // write access; others may read and write. Fails (EEXIST, Win32
  // ERROR_FILE_EXISTS) when a folder stands there or something takes the
  // name between the removal and the creation.
  kCreateFresh,
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
// The system's own text for an error number, in UTF-8 and lower case, without
// a final full stop: strerror on POSIX ("no such file or directory"),
// FormatMessage on Win32 ("the system cannot find the file specified").
// "error <n>" when the system has no text for it.
std::string SystemErrorText(int systemError);

// The error number with which a read reports that it met the end of the file
// (Win32 ERROR_HANDLE_EOF). POSIX reads report the end by a short count and
// never by an error, so there it is no error number at all.
#if defined(_WIN32)
constexpr int kEndOfFileError = 38;
#else
constexpr int kEndOfFileError = -1;
#endif

// Whether the file system takes two names that differ in ASCII letter case
// alone for one name. POSIX file systems tell them apart: this layer only
// finds an existing name under another case (see Names above).
#if defined(_WIN32)
constexpr bool kNamesIgnoreCase = true;
#else
constexpr bool kNamesIgnoreCase = false;
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
// Moves a file, replacing the target; copies across volumes when needed, to
// a new file beside the target (as kCreateFresh) that then takes its place,
// so that a link at the target is replaced and never written through, as a
// move on one volume does. Refuses, with the invalid-argument error number
// (EINVAL, Win32 ERROR_INVALID_PARAMETER), when both name one object
// (IsSameFileObject).
bool MoveFileReplace(const char* from, const char* to);
// Copies a file, replacing the target. Refuses as MoveFileReplace does when
// both name one object: replacing the target would truncate the source.
bool CopyFileReplace(const char* from, const char* to);
// Makes durable what was written to, created in, moved into or removed from
// each of `paths` (files and folders), data and folder entries alike,
// wherever they lie: every file system that holds one of them is flushed,
// once (POSIX syncfs; Win32 FlushFileBuffers on the volume, which needs
// administrator rights). Where a file system cannot be flushed whole, each of
// its paths and the folder that holds it is flushed by itself (fsync;
// FlushFileBuffers, of a folder as far as the system allows it). False when
// that fails too, with `*failedPath` naming the path.
bool MakeDurable(const std::vector<std::string>& paths, std::string* failedPath);
// Makes `to`, which must not exist, a second name of the file `from` (a hard
// link): a change made through either name shows through both. Fails where
// the file system cannot link (another volume, no support for links).
bool LinkFile(const char* from, const char* to);
// The time `path` was last written, in seconds since 1970-01-01 UTC.
bool FileModificationTime(const char* path, int64_t* seconds);

struct FolderEntry {
  std::string name;  // CP936, no folder part
  bool isFolder = false;
  // The name as the file system holds it, in UTF-8, when code page 936
  // cannot hold all of its characters: `name` then does not find the entry.
  // Empty when the name converts.
  std::string unencodableName;
};
// Lists a folder's entries without "." and "..", in no particular order.
bool ListFolder(const char* path, std::vector<FolderEntry>* entries);

// The folder for temporary files, ending with a separator (as GetTempPathA).
std::string TempFolderPath();
// Makes `folder` the temporary folder of this process and of the programs it
// starts from now on (TMPDIR on POSIX; TMP and TEMP on Win32).
bool SetTempFolder(const char* folder);
// Creates a new empty file named `prefix` + unique hex digits + ".tmp" in
// `folder` and stores its path in `*path` (as GetTempFileNameA). The name is
// easy to guess: for a shared folder, see MakePrivateFolder.
bool CreateUniqueTempFile(const char* folder, const char* prefix, std::string* path);
// Creates a new folder in `parent` that only this process's user may enter
// (POSIX mode 0700; Win32 a protected access list that grants the user
// alone), named `prefix`, 16 hexadecimal digits from the system's random
// source and ".tmp", so that nobody can guess the name and plant something
// there first. Stores its path in `*path`. A name that exists is drawn again.
bool MakePrivateFolder(const char* parent, const char* prefix, std::string* path);
// Whether `path` is a folder itself, not a link to one (POSIX lstat; Win32 no
// reparse point), that this process's user owns (POSIX only): in a shared
// temporary folder, one that no other user can have made or can redirect.
bool IsOwnFolder(const char* path);
// Full path of the running executable; empty on failure.
std::string ExecutablePath();
// The short (8.3) form of an existing path on Win32; `path` unchanged when
// there is no such form. On POSIX: the path as it maps to the disk
// (separators, and letter case of existing components as found there), also
// for a path that does not exist yet.
std::string ShortPathName(const char* path);

#if defined(_WIN32)
// The system's form of a path that a Windows function gave in UTF-16 (the
// folder browser's choice): code page 936, or where a character has no form
// there (Hangul, "Søren"), the path's short (8.3) form. Empty when it has
// neither. The paths this layer hands back (ExecutablePath, TempFolderPath,
// FullPathName, process image paths) are made so too.
std::string SystemPathFromWide(const std::wstring& path);
#endif

// The name under which the C runtime's own file calls (open, fopen) find
// `path`, for a library that opens files by itself: the disk name on POSIX,
// the short form in the ANSI code page on Win32.
std::string RuntimeFileName(const char* path);
// The name under which a library that takes UTF-8 file names on Win32
// (libzip, which widens them itself) finds `path`: the disk name on POSIX,
// the full name in UTF-8 on Win32, so that no character is lost to the ANSI
// code page.
std::string Utf8LibraryFileName(const char* path);

// The process's current folder (system form), empty on failure; and making
// another folder the current one. The current folder is the process's, not
// a thread's: change it only while no other thread works with relative paths.
std::string CurrentFolder();
bool SetCurrentFolder(const char* path);

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

// --- Locks between processes -----------------------------------------------------

// A lock that one holder on the machine has at a time, for work that two
// processes must never do at once (two updates of one installation). It is
// named after an existing folder and a name in it (empty for the folder
// itself). The folder's identity names it (POSIX device and inode, Win32
// volume serial number and file index), so every spelling of the folder
// (letter case, links, short forms) names one lock; the name is compared as
// the file system compares names. The object is the holder: a second
// TryLock of the same lock finds it taken, in this process too. The lock
// goes with the object or with the process, however the process ends, and
// programs the process starts do not inherit it.
// POSIX (Linux): a socket bound to a name in the abstract namespace, so no
// file is left anywhere. Win32: a named mutex in the Global namespace, held
// while it exists.
class NamedLock {
 public:
  enum class Outcome {
    kTaken,          // this object holds the lock
    kHeldElsewhere,  // another holder has it
    kFailed,  // the folder cannot be looked at, or the system gives no lock (LastSystemError())
  };

  NamedLock() = default;
  ~NamedLock() { Release(); }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Takes the lock without waiting, after releasing what this object held.
  Outcome TryLock(const char* folder, const char* name);
  void Release();
  bool IsHeld() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;  // the socket on POSIX, the mutex on Win32
};

// --- Console -------------------------------------------------------------------

// Keeps what happens to the console from ending the process: the interrupt
// and quit keys and signals, a terminal that closes (SIGHUP), and an output
// whose reader has gone (SIGPIPE: the write fails with EPIPE instead). On
// Win32, Ctrl+C and Ctrl+Break of a console. Programs started with
// StartDetachedProcess do not inherit this.
void IgnoreConsoleSignals();

// While one lives, a request to end the process (SIGTERM on POSIX) waits:
// when the scope ends, it ends the process as it would have. For work that
// must not stop half-way, such as an update of an installation. One scope at
// a time in a process. Nothing to do on Win32, where the end of the session
// is asked of the program's window, which refuses it while an update runs.
class TerminationDeferral {
 public:
  TerminationDeferral();
  ~TerminationDeferral();
  TerminationDeferral(const TerminationDeferral&) = delete;
  TerminationDeferral& operator=(const TerminationDeferral&) = delete;
};

// The width of the terminal that standard output goes to, in columns; 0 when
// it goes to none or the width is unknown.
int TerminalColumns();

// Turns the interrupt key and the requests to end (POSIX SIGINT, SIGTERM and
// SIGHUP; Win32 Ctrl+C and Ctrl+Break) into a flag that long work polls, so
// that it stops where its files are whole. Until this is called they end the
// process as usual.
void CatchInterruptRequests();
// Whether such a request arrived since CatchInterruptRequests. Any thread.
bool InterruptRequested();
// Sets the flag as the interrupt key does (tests, and work that stops
// itself).
void RequestInterrupt();

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
  // Blocks for the next input: the bytes that one read of a terminal gives
  // (one key press, or several keys pasted or typed fast, possibly ending
  // inside a multi-byte character or an escape sequence), or one line
  // without its line end (CR LF or LF) otherwise. False at the end of input
  // or on a failure.
  bool Read(std::string* input);
  // Puts the terminal back as Open found it. Idempotent.
  void Restore();

 private:
  // Each side's reads: the bytes of one read of the terminal; and up to
  // `size` more bytes of other input, `*got` 0 at its end. False on a
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
// standard output and input to binary, so that bytes pass unchanged.
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
//               journaling file system; only data waits for a flush: of its
//               file, or of the file system that holds it (MakeDurable).
//               Every file lies on one file system, except below the folders
//               that the plan names in `separateFileSystems`, each a file
//               system of its own: a MakeDurable leaves the others unflushed.
// The seam logs the call index, the model and the seed to standard error
// when it acts, so that a failure can be replayed.

enum class FaultModel { kCount, kFail, kCrash, kTornWrite, kPowerCut };
enum class FaultError { kDiskFull, kIoError };

struct FaultPlan {
  FaultModel model = FaultModel::kCount;  // kCount only counts
  uint64_t at = 0;                        // 1-based index of the call to act on
  FaultError error = FaultError::kDiskFull;
  uint32_t seed = 0;
  int exitCode = 86;                             // the exit code of the ended process
  std::vector<std::string> separateFileSystems;  // folders, as the calls name them
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
