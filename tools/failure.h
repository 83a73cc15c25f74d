// How the tools tell people about a failure: one sentence that names the
// program, what it was doing, the file and the cause in words, followed by
// the error state's code (by name and number) and message exactly as the
// operation reported them:
//
//   qlmr-pak: cannot open 'x.pak': no such file or directory [ERR_ACCESS 3: File=x.pak, WinErr=2]
//
// The error state (base/error.h) stays the contract between units; the words
// are added here, at the tools' edge. The cause is, in this order: the one
// the caller gives, the system's own text for the error number that the
// message carries ("WinErr=%d" and its variants; errno on POSIX), or the
// words of the code's row in the table below. No sentence ends without a
// cause, even when the message is empty.
//
// With a JSON report active (tools/json_output.h) the failure also ends that
// document: {"ok": false, ..., "error": {...}} on standard output.
#pragma once

#include <cstdint>
#include <string>

namespace qlmr {
namespace tools {

// The name of an error code ("ERR_ACCESS"), or "ERR_<n>" for a code outside
// the table.
std::string ErrorCodeName(int32_t code);

// What an error code means, in words ("the data is damaged or not of the
// expected kind"), for a failure that carries no system error number.
const char* ErrorCodeWords(int32_t code);

// The system error number that a message carries ("WinErr=2", "winErr: 5",
// "WinErr: 5"), or 0.
int SystemErrorInMessage(const char* message);

// The file that a message names first ("File=x.pak, WinErr=2", "Path=...",
// "file: ...", "pack=..."), or empty.
std::string FileInMessage(const char* message);

// Whether the calling thread's last failure is the LZMA encoder's refusal of
// data whose encoding would not fit its output (data that does not compress).
bool LastErrorIsIncompressibleData();

// The cause in words of the calling thread's last failure: the system's text
// for its error number, the encoder's refusal of data that does not
// compress, or the code's words.
std::string CauseOfLastError();

// The sentence for the calling thread's last failure, without its line end.
// `action` says what was being done ("cannot open"); `path` is the file it
// was done to (system form, shown with ShownPath; when empty, the file the
// message names, if any); `cause`, if not null, replaces CauseOfLastError.
std::string FailureSentence(const std::string& action, const std::string& path,
                            const char* cause = nullptr);

// Prints FailureSentence on standard error (and ends the JSON report, if one
// is active) and returns kExitFailure.
int Fail(const std::string& action, const std::string& path, const char* cause = nullptr);

// Reports `code` with `message` into the error state and then fails as Fail
// does: for refusals the tool itself makes.
int FailWith(int32_t code, const std::string& message, const std::string& action,
             const std::string& path, const char* cause);

}  // namespace tools
}  // namespace qlmr
