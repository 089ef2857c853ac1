#include "publish/publish_ai.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "api/await.h"
#include "model/keys.h"
#include "model/plugin_error.h"
#include "model/text.h"
#include "platform/image_properties.h"
#include "publish/catalogue_scripts.h"
#include "publish/name_escaping.h"
#include "publish/script_runner.h"
#include "publish/upload_gate.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;

constexpr int MinimumSide = 256;
constexpr int MaximumSide = 4096;
constexpr std::uintmax_t SizeLimit = 4000000;  // bytes; a file must stay below it
constexpr const char* ScriptPrefix = "Vorelia_auto_tagging_";

// A keyword's text: a string is itself; any other value its compact JSON text.
std::string keywordText(const JSON& keyword) {
  if (keyword.type() == JSON::Type::string) return keyword.stringValue();
  return keyword.rawString(false).value_or("unknown");
}

// The catalogue image key of an analysed item: its base name and a full stop, so that IMG_0001.jpg
// tags IMG_0001.CR2 but not IMG_00010.jpg.
std::string imageKey(const std::string& itemName) {
  return fs::path(itemName).stem().string() + ".";
}

}  // namespace

bool PublishAi::conformImage(const std::string& filePath) {
  const fs::path path(filePath);
  std::string extension = path.extension().string();
  if (extension.empty()) return false;
  if (LowercasedAscii(extension.substr(1)) != "jpg") return false;

  // A header that does not read is no reason to refuse: the size check still applies.
  if (const auto size = platform::imagePixelSize(path)) {
    const auto inRange = [](int side) { return side >= MinimumSide && side <= MaximumSide; };
    if (!inRange(size->width) || !inRange(size->height)) return false;
  }

  std::error_code error;
  const auto bytes = fs::file_size(path, error);
  return !error && bytes < SizeLimit;
}

double PublishAi::costPerImage() const {
  double cost = state->general ? 1.0 : 0.0;
  if (state->face) cost += 1.0;
  if (state->adult) cost += 1.5;
  if (state->describe) cost += 2.5;
  for (const auto* option : {&state->celebrity, &state->landmark, &state->wedding, &state->food,
                             &state->travel, &state->apparel, &state->texture}) {
    if (*option) cost += 1.5;
  }
  return cost;
}

JSON PublishAi::analysisPayload(const std::string& name) const {
  const bool general = state->general;
  return JSON{
      {"name", name},
      {"escapedName", voreliaEscape(name)},
      {"Categories", general},
      {"Tags", general},
      {"Description", state->describe.load()},
      {"Color", false},
      {"Adult", state->adult.load()},
      {"Celebrities", state->celebrity.load()},
      {"Landmarks", state->landmark.load()},
      {"Lang", "en"},
      {"Face", state->face.load()},
      {"Food", state->food.load()},
      {"Wedding", state->wedding.load()},
      {"Travel", state->travel.load()},
      {"Texture", state->texture.load()},
      {"Apparel", state->apparel.load()},
  };
}

PublishResult PublishAi::DoPublish(const PublishTask& task, const PublishProgress& progress) {
  const auto result = [this](std::string message) {
    return PublishResult{state->webUrl, std::move(message)};
  };
  const auto report = [&progress](std::uint64_t completed, std::uint64_t total,
                                  const std::string& text) {
    if (progress) progress(completed, total, text);
  };

  if (task.files.empty()) return result("Invalid task, no files");
  const double cost = costPerImage();
  if (cost == 0) throw PluginError::noAIOptionsSelected;
  for (const auto file : task.files) {
    if (!conformImage(std::string(file))) throw PluginError::checkFilesFailed;
  }

  const auto credits = Await<std::optional<JSON>>(
      [&](auto done) { api->GetComputerVisionCredits(std::move(done)); });
  if (!credits) {
    return result("The service at " + AddressOf(state->baseUrl) +
                  " did not answer the credit check. Check the connection and retry");
  }
  const double available = (*credits)["credits"].numberValue();
  if (available < cost * static_cast<double>(task.files.size())) {
    throw PluginError::notEnoughCredits;
  }

  const auto vision =
      Await<std::optional<JSON>>([&](auto done) { api->CreateVision(std::move(done)); });
  const std::uint64_t total = task.files.size() + 1;
  std::uint64_t counter = 1;
  report(counter, total, "Checking credits available and files...");
  if (!vision) {
    return result("The service at " + AddressOf(state->baseUrl) +
                  " did not start the analysis. Check the connection and retry");
  }
  const std::string visionId = (*vision)[P::Id].stringValue();
  const std::string uploadSas = (*vision)[P::UploadSas].stringValue();
  const std::string storageUrl = (*vision)[P::StorageUrl].stringValue();
  if ((*vision)[P::HasError].boolValue() || visionId.empty()) {
    const std::string message = (*vision)[P::Message].stringValue();
    return result(message.empty() ? "The service did not start the analysis. Retry later"
                                  : message);
  }

  std::string recordText;
  UploadGate gate;
  std::vector<std::string> untagged;  // the files' own names, in file order
  for (const auto view : task.files) {
    const std::string file(view);
    const std::string name = fs::path(file).filename().string();
    const UploadGate::Send send = gate.next();
    if (send == UploadGate::Send::skip) {  // the store is gone: no request
      untagged.push_back(name);
      continue;
    }
    const bool probe = send == UploadGate::Send::once;
    const JSON payload = analysisPayload(name);
    const std::string escapedName = payload["escapedName"].stringValue();
    const auto uploaded = Await<UploadOutcome>([&](auto done) {
      api->VisionUploadFile(
          storageUrl, file, visionId, escapedName, uploadSas, payload,
          [done = std::move(done)](JSON, UploadOutcome outcome) { done(outcome); },
          probe ? UploadAttempts::once : UploadAttempts::retried);
    });
    gate.report(uploaded, probe);
    // A failed upload is analysed all the same: the blob may be there from an attempt whose
    // answer was lost, and otherwise the service says so.
    const auto analysis = Await<std::optional<JSON>>(
        [&](auto done) { api->Analisys(visionId, escapedName, payload, std::move(done)); });
    // No answer, a refusal, or no item name: the image gets no record and no progress report.
    if (!analysis || (*analysis)[P::HasError].boolValue() ||
        (*analysis)[P::Name].type() != JSON::Type::string) {
      untagged.push_back(name);
      continue;
    }
    const JSON description = (*analysis)["description"];
    const std::string describe =
        description.type() == JSON::Type::string ? description.stringValue() : "";
    std::string tags;
    for (const auto& keyword : (*analysis)["keywords"].array().value_or(std::vector<JSON>{})) {
      tags += keywordText(keyword) + ";";
    }
    if (!describe.empty() || !tags.empty()) {
      recordText += keywordRecord(imageKey((*analysis)[P::Name].stringValue()), tags, describe);
    }
    ++counter;
    report(counter, total,
           "tagging " + name + " tasks: (" + std::to_string(counter) + " of " +
               std::to_string(total) + ")");
  }

  // Files that were not tagged are named first, so that a partial run never reads as whole.
  std::string losses;
  if (!untagged.empty()) {
    losses = (untagged.size() == task.files.size()
                  ? std::string("No image could be tagged: ")
                  : std::to_string(untagged.size()) + " of " + std::to_string(task.files.size()) +
                        " images could not be tagged: ") +
             NamedFiles(untagged) + ".";
    if (gate.unreachable()) {
      losses += " The storage at " + AddressOf(storageUrl) + " could not be reached.";
    }
  }
  const auto ended = [&](const std::string& message) {
    if (untagged.empty()) return result(message);
    PublishResult lost =
        result(untagged.size() == task.files.size() ? losses : losses + " " + message);
    lost.filesLost = true;
    return lost;
  };
  if (recordText.empty()) return ended("No tags");
  if (!runScript(ScriptPrefix, keywordScript(recordText))) {
    return ended("Tags could not be written to the catalogue");
  }
  return ended("Go to metadata and keywords of your images");
}

}  // namespace vorelia
