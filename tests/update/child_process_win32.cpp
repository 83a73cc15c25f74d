// Win32 side of the child process helper: CreateProcessW with a command line
// built from argv, our environment with extraEnv laid over it, and the
// working folder. Standard streams stay ours.
#include <windows.h>

#include <thread>

#include "tests/update/child_process.h"

namespace qlmr {
namespace testing_support {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

// One argument as the C runtime's parser reads it back.
std::wstring Quoted(const std::wstring& argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

// Our environment with each variable of `extra` ("NAME=value") replaced or
// added, as the double-zero-terminated block CreateProcessW takes.
std::wstring Environment(const std::vector<std::string>& extra) {
  std::wstring block;
  wchar_t* ours = GetEnvironmentStringsW();
  for (const wchar_t* entry = ours; *entry != L'\0'; entry += wcslen(entry) + 1) {
    std::wstring text = entry;
    bool replaced = false;
    for (const std::string& variable : extra) {
      std::wstring name = Wide(variable.substr(0, variable.find('=') + 1));
      replaced = replaced || _wcsnicmp(text.c_str(), name.c_str(), name.size()) == 0;
    }
    if (!replaced) block += text + L'\0';
  }
  FreeEnvironmentStringsW(ours);
  for (const std::string& variable : extra) block += Wide(variable) + L'\0';
  return block + L'\0';
}

}  // namespace

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const Options& options) {
  if (options.pipes || options.terminal) return false;  // not needed by the Windows tests
  std::vector<std::string> args = options.argv;
  if (args.empty()) args.push_back(options.program);
  std::wstring commandLine;
  for (const std::string& arg : args) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += Quoted(Wide(arg));
  }
  std::wstring program = Wide(options.program);
  std::wstring folder = Wide(options.workingFolder);
  std::wstring environment = Environment(options.extraEnv);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT | (options.suspended ? CREATE_SUSPENDED : 0),
                      &environment[0], folder.empty() ? nullptr : folder.c_str(), &startup,
                      &started)) {
    return false;
  }
  CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = started.dwProcessId;
  return true;
}

bool ChildProcess::Wait(int* status, std::chrono::milliseconds timeout) {
  if (process_ == nullptr) return false;
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  *status = static_cast<int>(code);
  CloseHandle(process_);
  process_ = nullptr;
  pid_ = -1;
  return true;
}

void ChildProcess::Kill() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
  CloseHandle(process_);
  process_ = nullptr;
  pid_ = -1;
}

bool ProcessRuns(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

}  // namespace testing_support
}  // namespace qlmr
