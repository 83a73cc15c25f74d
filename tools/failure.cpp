#include "tools/failure.h"

#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/lzma_buffer.h"
#include "base/platform.h"
#include "tools/json_output.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

struct CodeRow {
  int32_t code;
  const char* name;
  const char* words;
};

// One row per code of the error state.
constexpr CodeRow kCodes[] = {
    {ERR_NOT_FOUND, "ERR_NOT_FOUND", "no such stored file"},
    {ERR_BAD_DATA, "ERR_BAD_DATA", "the data is damaged or not of the expected kind"},
    {ERR_ACCESS, "ERR_ACCESS", "it cannot be opened or created"},
    {ERR_READ, "ERR_READ", "it cannot be read to its end"},
    {ERR_WRITE, "ERR_WRITE", "it cannot be written"},
    {ERR_SEEK, "ERR_SEEK", "a position in it cannot be reached"},
    {ERR_MODE, "ERR_MODE", "it is open for writing, or a write to it was interrupted"},
    {ERR_NO_MEMORY, "ERR_NO_MEMORY", "out of memory"},
    {ERR_INVALID, "ERR_INVALID", "an argument is missing or not valid"},
    {ERR_TABLE_FULL, "ERR_TABLE_FULL", "the archive's name table is full"},
    {ERR_NO_BLOCK, "ERR_NO_BLOCK", "no room for it in the archive"},
    {ERR_ZIP, "ERR_ZIP", "its zip container is damaged"},
    {ERR_VERSION, "ERR_VERSION", "an archive format version this tool does not know"},
    {ERR_DUPLICATE, "ERR_DUPLICATE", "it is there already"},
    {ERR_NO_CODEC, "ERR_NO_CODEC", "no codec for its compression type"},
    {ERR_CODEC, "ERR_CODEC", "the codec refused the data"},
};

const CodeRow* FindRow(int32_t code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

}  // namespace

std::string ErrorCodeName(int32_t code) {
  const CodeRow* row = FindRow(code);
  return row != nullptr ? row->name : "ERR_" + std::to_string(code);
}

const char* ErrorCodeWords(int32_t code) {
  const CodeRow* row = FindRow(code);
  return row != nullptr ? row->words : "it failed";
}

int SystemErrorInMessage(const char* message) {
  // The error state's messages spell it four ways.
  for (const char* key : {"WinErr=", "winErr=", "WinErr: ", "winErr: "}) {
    const char* at = strstr(message, key);
    if (at == nullptr) continue;
    long number = strtol(at + strlen(key), nullptr, 10);
    if (number > 0 && number < 0x7FFFFFFF) return static_cast<int>(number);
  }
  return 0;
}

std::string FileInMessage(const char* message) {
  // The first name a message gives is the file it is about.
  const char* first = nullptr;
  size_t keyLength = 0;
  for (const char* key : {"File=", "Path=", "file=", "file: ", "pack="}) {
    const char* at = strstr(message, key);
    if (at != nullptr && (first == nullptr || at < first)) {
      first = at;
      keyLength = strlen(key);
    }
  }
  if (first == nullptr) return std::string();
  std::string rest = first + keyLength;
  rest = rest.substr(0, rest.find_first_of(",("));
  while (!rest.empty() && rest.back() == ' ') rest.pop_back();
  return rest;
}

bool LastErrorIsIncompressibleData() {
  // The codecs' report of an encoding that does not fit its output.
  const std::string refusal = "LZMA compress[" + std::to_string(LZMA_RESULT_OUTPUT_FULL) + "]";
  return LastErrorCode() == ERR_CODEC && LastErrorMessage() == refusal;
}

std::string CauseOfLastError() {
  int systemError = SystemErrorInMessage(LastErrorMessage());
  if (systemError != 0) return SystemErrorText(systemError);
  if (LastErrorIsIncompressibleData()) {
    return "its encoding would be larger than the codec allows: it does not compress";
  }
  return ErrorCodeWords(LastErrorCode());
}

std::string FailureSentence(const std::string& action, const std::string& path, const char* cause) {
  std::string sentence = ProgramName() + ": " + action;
  std::string file = path.empty() ? FileInMessage(LastErrorMessage()) : path;
  if (!file.empty()) sentence += " '" + ShownPath(file) + "'";
  sentence += ": ";
  sentence += cause != nullptr ? std::string(cause) : CauseOfLastError();
  sentence += " [" + ErrorCodeName(LastErrorCode()) + " " + std::to_string(LastErrorCode());
  const std::string message = LastErrorMessage();
  if (!message.empty()) sentence += ": " + ShownPath(message);
  return sentence + "]";
}

int Fail(const std::string& action, const std::string& path, const char* cause) {
  std::string sentence = FailureSentence(action, path, cause);
  PrintError("%s\n", sentence.c_str());
  EndJsonReportWithFailure(sentence);
  return kExitFailure;
}

int FailWith(int32_t code, const std::string& message, const std::string& action,
             const std::string& path, const char* cause) {
  ReportError(code, "%s", message.c_str());
  return Fail(action, path, cause);
}

}  // namespace tools
}  // namespace qlmr
