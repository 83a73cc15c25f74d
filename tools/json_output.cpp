#include "tools/json_output.h"

#include "base/error.h"
#include "base/platform.h"
#include "tools/failure.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

JsonReport* g_activeReport = nullptr;

}  // namespace

std::string JsonName(const std::string& systemName) {
  // After the conversion every 0x5C byte is a backslash, never the second
  // byte of a double-byte character.
  std::string name = Cp936ToUtf8(systemName);
  for (char& c : name) c = c == '\\' ? '/' : c;
  return name;
}

std::string JsonText(const std::string& systemText) { return Cp936ToUtf8(systemText); }

void PrintJson(const Json& document) {
  WriteOut(document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

JsonReport::JsonReport(bool enabled) : enabled_(enabled) {
  if (enabled) g_activeReport = this;
}

JsonReport::~JsonReport() {
  if (g_activeReport == this) g_activeReport = nullptr;
}

int JsonReport::Succeed() {
  Json document = {{"ok", true}};
  document.update(fields_);
  PrintJson(document);
  ended_ = true;
  return kExitSuccess;
}

void JsonReport::EndWithFailure(const std::string& sentence) {
  if (ended_) return;
  ended_ = true;
  Json document = {{"ok", false}};
  document.update(fields_);
  document["error"] = {{"code", LastErrorCode()},
                       {"name", ErrorCodeName(LastErrorCode())},
                       {"message", JsonText(LastErrorMessage())},
                       {"text", sentence}};
  PrintJson(document);
}

void EndJsonReportWithFailure(const std::string& sentence) {
  if (g_activeReport != nullptr) g_activeReport->EndWithFailure(sentence);
}

}  // namespace tools
}  // namespace qlmr
