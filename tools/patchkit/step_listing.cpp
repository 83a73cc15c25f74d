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

std::string PatchStepsJson(const std::vector<PatchStep>& steps) {
  std::string json = "[";
  for (size_t i = 0; i < steps.size(); ++i) {
    const PatchStep& step = steps[i];
    json += i == 0 ? "\n" : ",\n";
    json += "  {\"step\": " + tools::JsonString(StepKindName(step.kind));
    if (step.kind == PatchStep::kOpenPack) json += ", \"pack\": " + tools::JsonString(step.packKey);
    if (step.kind == PatchStep::kLooseEntry || step.kind == PatchStep::kPackEntry ||
        step.kind == PatchStep::kSkipped) {
      json += ", \"op\": " + std::to_string(step.op) +
              ", \"packName\": " + tools::JsonString(step.packName) +
              ", \"fileName\": " + tools::JsonString(step.fileName) +
              ", \"compressType\": " + std::to_string(step.compressType) +
              ", \"contentSize\": " + std::to_string(step.contentSize);
    }
    json += "}";
  }
  return json + (steps.empty() ? "]" : "\n]");
}

}  // namespace patchkit
}  // namespace qlmr
