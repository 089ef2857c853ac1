// The publishing side of the principal class: offered actions, tasks, the action panels and the
// export settings the host applies.
#include <string>

#include "model/keys.h"
#include "plugin/host_boundary.h"
#include "plugin/publishing_actions.h"
#include "plugin/vorelia_c1_plugin.h"
#include "publish/publish_ai.h"
#include "publish/publish_share.h"

namespace vorelia {
namespace {

bool IsOneOf(const std::string& identifier, std::initializer_list<std::string_view> candidates) {
  for (auto candidate : candidates) {
    if (identifier == candidate) return true;
  }
  return false;
}

// The string setting under key, when there is one of that type.
std::optional<std::string> StringSetting(const COActionSettingsDictionary& settings,
                                         std::string_view key) {
  const auto found = settings.find(std::string(key));
  if (found == settings.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&found->second)) return *text;
  return std::nullopt;
}

bool BoolSetting(const COActionSettingsDictionary& settings, std::string_view key) {
  const auto found = settings.find(std::string(key));
  if (found == settings.end()) return false;
  const auto* value = std::get_if<bool>(&found->second);
  return value != nullptr && *value;
}

COSettingsElementsGroup AlbumGroup(const std::vector<JSON>& containers,
                                   const std::string& identifier,
                                   const COActionSettingsDictionary& settings) {
  COSettingsListItem albums{std::string(P::AlbumsListIdentifier), "albums:", {}, std::nullopt};
  albums.options.push_back(COSettingsListOption::Make("create", "+ create album"));
  albums.options.push_back(COSettingsListOption::separator());
  for (const auto& container : containers) {
    albums.options.push_back(COSettingsListOption::Make(container[P::Id].stringValue(),
                                                        container[P::Name].stringValue()));
  }
  const std::string chosen = StringSetting(settings, P::AlbumsListIdentifier).value_or("create");
  albums.value = chosen;

  COSettingsElementsGroup group{"Album", {albums}};
  if (chosen == "create") {
    group.elements.push_back(COSettingsTextItem{std::string(P::AlbumNameIdentifier), "Album name",
                                                StringSetting(settings, P::AlbumNameIdentifier),
                                                false});
  }
  if (identifier != Publish::Transfer) {
    group.elements.push_back(COSettingsBoolItem{std::string(P::AlbumDownloadIdentifier),
                                                "enable download",
                                                BoolSetting(settings, P::AlbumDownloadIdentifier)});
  }
  return group;
}

COSettingsElementsGroup AnalyzeGroup() {
  return COSettingsElementsGroup{
      "Analyze settings",
      {COSettingsLabelItem{""}, COSettingsLabelItem{"Go to \"Basic\" tab"},
       COSettingsLabelItem{"Set scaling to long edge (No Upscale) 4096px and quality 75"},
       COSettingsLabelItem{""}, COSettingsLabelItem{"for more tagging settings go to:"},
       COSettingsLabelItem{"Capture One > preferences > Plugins > Vorelia > Auto-Tagging"}}};
}

COProcessSettings ProcessingSettingsFor(const std::string& identifier) {
  using V = COProcessValue;
  if (identifier == Publish::AI) {
    return COProcessSettings{
        {COSupportedFileFormatsKey, V::MakeArray({V::Unsigned(1)})},
        {COProcessFileFormatKey, V::Unsigned(1)},
        {COProcessIncludeAnnotationsKey, V::Boolean(false)},
        {COProcessIncludeKeywordsMetadataKey, V::Signed(1)},
        {COProcessScaleMethodKey, V::Unsigned(5)},
        {COProcessNeverUpscaleKey, V::Boolean(true)},
        {COProcessLongEdgeScaleKey, V::MakeDictionary({{COProcessScaleLengthKey, V::Signed(4096)},
                                                       {COProcessScaleUnitKey, V::Unsigned(0)}})},
        {COProcessJpegQualityKey, V::Signed(75)},
    };
  }
  return COProcessSettings{
      {COSupportedFileFormatsKey, V::MakeArray({V::Unsigned(1), V::Unsigned(7), V::Unsigned(2),
                                                V::Unsigned(8), V::Unsigned(6)})},
      {COProcessFileFormatKey, V::Unsigned(1)},
      {COProcessIncludeAnnotationsKey, V::Boolean(false)},
      {COProcessIncludeKeywordsMetadataKey, V::Signed(1)},
      {COProcessJpegQualityKey, V::Signed(85)},
  };
}

PublishTask ToPublishTask(const COFileHandlingPluginTask& task) {
  PublishTask publishTask{task.action ? task.action->identifier : "", task.files, {}};
  for (const auto& [key, value] : task.settings) {
    publishTask.settings.emplace(key,
                                 std::visit([](const auto& v) { return SettingValue(v); }, value));
  }
  return publishTask;
}

}  // namespace

std::vector<std::shared_ptr<const COPluginAction>> VoreliaC1Plugin::publishingActionsFileCount(
    std::uint64_t fileCount, COError* error) {
  using Actions = std::vector<std::shared_ptr<const COPluginAction>>;
  return Guard(error, Actions{}, [&] {
    const auto& actions = PublishingActions::shared();
    const auto account = state->account.get();
    if (!account || account->empty()) return Actions{actions.publishToLoginAction};
    if (fileCount == 0) return Actions{};
    return Actions{actions.publishToAiAction, actions.publishToShareAction,
                   actions.publishToProofingAction};
  });
}

std::vector<std::shared_ptr<COFileHandlingPluginTask>> VoreliaC1Plugin::tasks(
    const std::shared_ptr<const COPluginAction>& action, const std::vector<std::string>& files,
    COError* error) {
  using Tasks = std::vector<std::shared_ptr<COFileHandlingPluginTask>>;
  return Guard(error, Tasks{}, [&] {
    if (files.empty() || !action) return Tasks{};
    if (!IsOneOf(action->identifier, {Publish::AI, Publish::Share, Publish::Proofing})) {
      return Tasks{};
    }
    // All files of one export run form one task.
    return Tasks{std::make_shared<COFileHandlingPluginTask>(action, files)};
  });
}

std::vector<COSettingsElementsGroup> VoreliaC1Plugin::settings(
    const COPluginAction& action, const COActionSettingsDictionary& settings, COError* error) {
  using Groups = std::vector<COSettingsElementsGroup>;
  return Guard(error, Groups{}, [&] {
    const auto& id = action.identifier;
    if (IsOneOf(id, {Publish::Share, Publish::Proofing, Publish::Embed, Publish::Transfer})) {
      return Groups{AlbumGroup(state->containers.get(), id, settings)};
    }
    if (id == Publish::AI) return Groups{AnalyzeGroup()};
    return Groups{};
  });
}

bool VoreliaC1Plugin::didUpdateValue(const COValue&, const std::string& identifier,
                                     const COPluginAction&, const COActionSettingsDictionary&,
                                     COActionSettingsCallbackAction* callbackAction, COError*) {
  // The "Album name" field depends on the album choice, so a new choice needs a new panel.
  if (identifier == P::AlbumsListIdentifier && callbackAction != nullptr) {
    *callbackAction = COActionSettingsCallbackAction::reloadSettings;
  }
  return true;
}

bool VoreliaC1Plugin::validate(const COActionSettingsDictionary&, const COPluginAction&, COError*) {
  return true;
}

std::optional<COProcessSettings> VoreliaC1Plugin::processingSettings(const COPluginAction& action,
                                                                     COError* error) {
  return Guard(error, std::optional<COProcessSettings>{},
               [&] { return std::optional(ProcessingSettingsFor(action.identifier)); });
}

COProcessingSettingsVisibilityOptions VoreliaC1Plugin::processingSettingsVisibility(
    const COPluginAction&) {
  return COProcessingSettingsVisibilityAll;
}

std::optional<COPluginActionPublishResult> VoreliaC1Plugin::startPublishingTask(
    const COFileHandlingPluginTask& task, const COProgressBlock& progress, COError* error) {
  return Guard(error, std::optional<COPluginActionPublishResult>{}, [&] {
    return WithLoginRenewal(*state, [&] {
      const auto account = state->account.get();
      if (!account || account->empty()) throw Failure(TaskError::noAccount);
      if (task.files.empty()) throw Failure(TaskError::noFiles);
      const std::string identifier = task.action ? task.action->identifier : "";
      // One usage record per task, before the workflow runs and whatever comes of it.
      api->PostToQueue(JSON{{"action", identifier},
                            {"account", *account},
                            {"imageCount", static_cast<std::uint64_t>(task.files.size())}});
      std::unique_ptr<PublishService> workflow;
      if (identifier == Publish::Share || identifier == Publish::Proofing) {
        workflow = std::make_unique<PublishShare>(state, api);
      } else if (identifier == Publish::AI) {
        workflow = std::make_unique<PublishAi>(state, api);
      } else {
        throw Failure(TaskError::noWorkflow);
      }
      // The host's progress block is handed the task it started, unchanged.
      const PublishResult result =
          workflow->DoPublish(ToPublishTask(task), [&](std::uint64_t completed, std::uint64_t total,
                                                       const std::optional<std::string>& text) {
            if (progress) progress(task, completed, total, text);
          });
      // The host shows the result either way; the slot beside it tells a host that reads it
      // (cohost does, Capture One does not) that the task lost files.
      if (result.filesLost) Report(Failure(TaskError::filesNotPublished, result.message), error);
      return std::optional(COPluginActionPublishResult{result.url, result.message});
    });
  });
}

}  // namespace vorelia
