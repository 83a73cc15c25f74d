// The tools' JSON output: one document per command run with --json, written
// with nlohmann::json (ordered, so fields keep the order the command gives
// them). Every document is an object that starts with "ok"; a failure ends
// the same document with "error": {"code", "name", "message", "text"}, where
// "text" is the sentence of tools/failure.h.
//
// Names. Every stored name and path in a document has one form: UTF-8 with
// forward slashes, which the tools and both systems accept as given.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace qlmr {
namespace tools {

using Json = nlohmann::ordered_json;

// A stored name or a path (system form) as it stands in a document.
std::string JsonName(const std::string& systemName);
// Other system text (code page 936, a message) in UTF-8, as it is.
std::string JsonText(const std::string& systemText);

// Prints `document` on standard output: two-space indent, one line end.
// Bytes that are no UTF-8 are replaced, never a failure.
void PrintJson(const Json& document);

// The document of one command that takes --json. While an enabled report
// exists it is the active one, which Fail ends; there is one at a time, on
// the main thread. A report that is not enabled (no --json) prints nothing.
class JsonReport {
 public:
  explicit JsonReport(bool enabled);
  ~JsonReport();
  JsonReport(const JsonReport&) = delete;
  JsonReport& operator=(const JsonReport&) = delete;

  bool enabled() const { return enabled_; }
  // The fields after "ok", filled in as the command goes.
  Json& fields() { return fields_; }
  // Prints {"ok": true, <fields>} and returns kExitSuccess.
  int Succeed();
  // Prints {"ok": false, <fields>, "error": {...}} for the calling thread's
  // last failure, with `sentence` as its text. Fail calls it.
  void EndWithFailure(const std::string& sentence);

 private:
  bool enabled_;
  Json fields_ = Json::object();
  bool ended_ = false;
};

// Ends the active report, if there is one, as JsonReport::EndWithFailure.
void EndJsonReportWithFailure(const std::string& sentence);

}  // namespace tools
}  // namespace qlmr
