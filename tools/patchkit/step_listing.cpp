#include "tools/patchkit/step_listing.h"

#include <cstdio>

#include "base/platform.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace patchkit {
namespace {

const char* OpName(int32_t op) {
  return op == ENTRY_OP_WRITE ? "write" : op == ENTRY_OP_DELETE ? "delete" : "op?";
}

const char* StepKindName(PatchStep::Kind kind) {
  switch (kind) {
    case PatchStep::kLooseEntry:
      return "loose";
    case PatchStep::kPause:
      return "pause";
    case PatchStep::kOpenPack:
      return "pack";
    case PatchStep::kPackEntry:
      return "stored";
    case PatchStep::kSkipped:
      return "skipped";
  }
  return "?";
}

}  // namespace

const char* PatchKindName(PatchKind kind) {
  switch (kind) {
    case PATCH_KIND_ZIP:
      return "plain zip";
    case PATCH_KIND_INVERTED_ZIP:
      return "inverted zip";
    case PATCH_KIND_MASKED_ZIP:
      return "masked zip";
    case PATCH_KIND_PACKED:
      return "packed";
    case PATCH_KIND_NONE:
      break;
  }
  return "none";
}

std::string FormatPatchSteps(const std::vector<PatchStep>& steps) {
  std::string text;
  char line[64];
  for (const PatchStep& step : steps) {
    switch (step.kind) {
      case PatchStep::kPause:
        text += "pause 500 ms\n";
        break;
      case PatchStep::kOpenPack:
        text += "pack " + Cp936ToUtf8(step.packKey) + "\n";
        break;
      case PatchStep::kLooseEntry:
        snprintf(line, sizeof line, "%-6s ", OpName(step.op));
        text += line + Cp936ToUtf8(step.fileName) + "\n";
        break;
      case PatchStep::kPackEntry: {
        char sizes[48];
        snprintf(line, sizeof line, "  %-6s ", OpName(step.op));
        snprintf(sizes, sizeof sizes, " (type %d, %u bytes)\n", step.compressType,
                 step.contentSize);
        text += line + Cp936ToUtf8(step.fileName) + sizes;
        break;
      }
      case PatchStep::kSkipped:
        snprintf(line, sizeof line, "never applied: op %d ", step.op);
        text += line + Cp936ToUtf8(step.packName) + "|" + Cp936ToUtf8(step.fileName) + "\n";
        break;
    }
  }
  return text;
}

tools::Json PatchStepsJson(const std::vector<PatchStep>& steps) {
  tools::Json json = tools::Json::array();
  for (const PatchStep& step : steps) {
    tools::Json item = {{"step", StepKindName(step.kind)}};
    if (step.kind == PatchStep::kOpenPack) item["pack"] = tools::JsonName(step.packKey);
    if (step.kind == PatchStep::kLooseEntry || step.kind == PatchStep::kPackEntry ||
        step.kind == PatchStep::kSkipped) {
      item["op"] = step.op;
      item["operation"] = OpName(step.op);
      item["packName"] = tools::JsonName(step.packName);
      item["fileName"] = tools::JsonName(step.fileName);
      item["compressType"] = step.compressType;
      item["compression"] = tools::CompressionName(step.compressType);
      item["contentSize"] = step.contentSize;
    }
    json.push_back(std::move(item));
  }
  return json;
}

}  // namespace patchkit
}  // namespace qlmr
