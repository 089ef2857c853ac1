#include <gtest/gtest.h>

#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

std::vector<std::string> Titles(const std::vector<COSettingsElementsGroup>& groups) {
  std::vector<std::string> titles;
  for (const auto& g : groups) titles.push_back(g.title);
  return titles;
}

std::vector<std::string> Identifiers(
    const std::vector<std::shared_ptr<const COPluginAction>>& actions) {
  std::vector<std::string> ids;
  for (const auto& a : actions) ids.push_back(a->identifier);
  return ids;
}

class HostOperations : public ::testing::Test {
 protected:
  testing::TempHome home;
  VoreliaC1Plugin plugin;

  void logIn(const char* account) {
    plugin.state->account.set(account);
    plugin.state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  }
  COPluginAction action(std::string_view identifier) {
    COPluginAction a("test");
    a.identifier = std::string(identifier);
    return a;
  }
};

TEST_F(HostOperations, PageGroupsFollowTheLoginSituation) {
  EXPECT_EQ(Titles(plugin.settings(nullptr)), std::vector<std::string>{"Connection"});
  logIn("");
  EXPECT_EQ(Titles(plugin.settings(nullptr)), std::vector<std::string>{"Connection"});
  logIn("studio");
  EXPECT_EQ(Titles(plugin.settings(nullptr)),
            (std::vector<std::string>{"Connection", "Proofing", "Auto Tagging"}));
  plugin.state->setAuthentication("BEARER t",
                                  std::chrono::system_clock::now() - std::chrono::hours(24 * 11));
  EXPECT_EQ(Titles(plugin.settings(nullptr)), std::vector<std::string>{"Connection"});
}

TEST_F(HostOperations, OfferedActionsDependOnTheAccountOnly) {
  struct Case {
    const char* account;  // nullptr: none stored
    std::uint64_t files;
    std::vector<std::string> expected;
  };
  const std::string login(Publish::Login), ai(Publish::AI), share(Publish::Share),
      proofing(Publish::Proofing);
  const Case cases[] = {
      {nullptr, 0, {login}},
      {nullptr, 3, {login}},
      {"", 3, {login}},
      {"studio", 0, {}},
      {"studio", 1, {ai, share, proofing}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account ? c.account : "(none)") + " " + std::to_string(c.files));
    plugin.state->account.set(c.account ? OptionalString(c.account) : std::nullopt);
    EXPECT_EQ(Identifiers(plugin.publishingActionsFileCount(c.files, nullptr)), c.expected);
  }
  // The same shared objects every time.
  plugin.state->account.set("studio");
  EXPECT_EQ(plugin.publishingActionsFileCount(1, nullptr)[0],
            plugin.publishingActionsFileCount(2, nullptr)[0]);
}

TEST_F(HostOperations, TasksCoverAllFilesOfAPublishingAction) {
  const std::vector<std::string> files{"/x/b.jpg", "/x/a.jpg", "/x/c.jpg"};
  for (auto id : {Publish::AI, Publish::Share, Publish::Proofing}) {
    auto a = std::make_shared<COPluginAction>(action(id));
    const auto tasks = plugin.tasks(a, files, nullptr);
    ASSERT_EQ(tasks.size(), 1u) << id;
    EXPECT_EQ(tasks[0]->files, files);
    EXPECT_EQ(tasks[0]->action, a);
    EXPECT_TRUE(plugin.tasks(a, {}, nullptr).empty());
  }
  for (auto id : {Publish::Login, Publish::Embed, Publish::Transfer, std::string_view("other")}) {
    EXPECT_TRUE(plugin.tasks(std::make_shared<COPluginAction>(action(id)), files, nullptr).empty())
        << id;
  }
}

TEST_F(HostOperations, AlbumPanelListsAlbumsAndFollowsTheChoice) {
  plugin.state->containers.set({JSON{{"id", "c1"}, {"name", "Wedding"}}, JSON{{"id", 7}}});
  const auto panel = [&](std::string_view id, COActionSettingsDictionary settings) {
    return plugin.settings(action(id), settings, nullptr);
  };

  auto groups = panel(Publish::Share, {});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].title, "Album");
  ASSERT_EQ(groups[0].elements.size(), 3u);
  const auto& list = std::get<COSettingsListItem>(groups[0].elements[0]);
  EXPECT_EQ(list.value, "create");
  ASSERT_EQ(list.options.size(), 4u);
  EXPECT_EQ(list.options[0].title, "+ create album");
  EXPECT_TRUE(list.options[1].isSeparator);
  EXPECT_EQ(list.options[2].value, "c1");
  EXPECT_EQ(list.options[2].title, "Wedding");
  EXPECT_EQ(list.options[3].value, "7");
  EXPECT_EQ(list.options[3].title, "");
  EXPECT_FALSE(std::get<COSettingsTextItem>(groups[0].elements[1]).value.has_value());
  EXPECT_FALSE(std::get<COSettingsBoolItem>(groups[0].elements[2]).value);

  groups = panel(Publish::Proofing,
                 {{"albumsList-input", std::string("c1")}, {"albumDownload-input", true}});
  ASSERT_EQ(groups[0].elements.size(), 2u);  // no album name for an existing album
  EXPECT_TRUE(std::get<COSettingsBoolItem>(groups[0].elements[1]).value);

  groups = panel(Publish::Share, {{"albumsList-input", 3.0},
                                  {"albumName-input", std::string("N")},
                                  {"albumDownload-input", std::string("yes")}});
  EXPECT_EQ(std::get<COSettingsListItem>(groups[0].elements[0]).value, "create");
  EXPECT_EQ(std::get<COSettingsTextItem>(groups[0].elements[1]).value, "N");
  EXPECT_FALSE(std::get<COSettingsBoolItem>(groups[0].elements[2]).value);

  EXPECT_EQ(panel(Publish::Transfer, {}).at(0).elements.size(), 2u);  // no download switch
  EXPECT_EQ(panel(Publish::AI, {}).at(0).elements.size(), 6u);
  EXPECT_TRUE(panel(Publish::Login, {}).empty());
}

TEST_F(HostOperations, OnlyTheAlbumChoiceAsksForANewPanel) {
  for (auto id : {P::AlbumsListIdentifier, P::AlbumNameIdentifier, P::AlbumDownloadIdentifier}) {
    auto out = COActionSettingsCallbackAction::none;
    EXPECT_TRUE(plugin.didUpdateValue(COValue{std::string("x")}, std::string(id),
                                      action(Publish::Share), {}, &out, nullptr));
    EXPECT_EQ(out == COActionSettingsCallbackAction::reloadSettings, id == P::AlbumsListIdentifier)
        << id;
  }
}

TEST_F(HostOperations, ExportSettingsKeepTheirTypes) {
  const auto ai = plugin.processingSettings(action(Publish::AI), nullptr).value();
  EXPECT_EQ(ai.size(), 8u);
  const auto& scale = ai.at(COProcessLongEdgeScaleKey);
  ASSERT_EQ(scale.kind(), COProcessValue::Kind::dictionary);
  EXPECT_EQ(*scale.member(COProcessScaleLengthKey), COProcessValue::Signed(4096));
  EXPECT_EQ(*scale.member(COProcessScaleUnitKey), COProcessValue::Unsigned(0));
  EXPECT_EQ(ai.at(COProcessJpegQualityKey), COProcessValue::Signed(75));
  EXPECT_EQ(ai.at(COProcessIncludeKeywordsMetadataKey), COProcessValue::Signed(1));

  const auto share = plugin.processingSettings(action(Publish::Share), nullptr).value();
  EXPECT_EQ(share.size(), 5u);
  EXPECT_EQ(share.at(COProcessJpegQualityKey), COProcessValue::Signed(85));
  EXPECT_EQ(share.at(COSupportedFileFormatsKey).arrayValue().size(), 5u);
  EXPECT_EQ(share.at(COSupportedFileFormatsKey).arrayValue()[1], COProcessValue::Unsigned(7));
  EXPECT_EQ(plugin.processingSettingsVisibility(action(Publish::Share)), ~0ULL);
}

TEST_F(HostOperations, ATaskWithoutAWayToRunFailsWithAnError) {
  const auto start = [&](std::string_view id, std::vector<std::string> files) {
    COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(id)), std::move(files));
    COError error;
    EXPECT_FALSE(plugin.startPublishingTask(task, {}, &error).has_value()) << id;
    EXPECT_EQ(error.domain, "VoreliaC1Plugin.TaskError");
    EXPECT_FALSE(error.localizedDescription.empty());
    return error.code;
  };
  EXPECT_EQ(start(Publish::Share, {"/x/a.jpg"}), 0);  // nobody logged in
  plugin.state->account.set("studio");
  EXPECT_EQ(start(Publish::Share, {}), 1);
  EXPECT_EQ(start(Publish::Embed, {"/x/a.jpg"}), 2);
  EXPECT_EQ(start(Publish::Login, {"/x/a.jpg"}), 2);
  COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(Publish::Share)), {});
  // Without an error slot the failure is still reported as no result, never a crash.
  EXPECT_FALSE(plugin.startPublishingTask(task, {}, nullptr).has_value());
}

TEST_F(HostOperations, AutoTaggingRefusalsReachTheHostAsPluginErrors) {
  logIn("studio");
  for (auto* option : {&plugin.state->general, &plugin.state->face}) *option = false;
  COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(Publish::AI)),
                                {"/x/a.jpg"});
  COError error;
  EXPECT_FALSE(plugin.startPublishingTask(task, {}, &error).has_value());
  EXPECT_EQ(error.domain, "VoreliaC1Plugin.PluginError");
  EXPECT_EQ(error.code, 9);
  EXPECT_EQ(error.localizedDescription, "You need at least one tagging option");
}

TEST_F(HostOperations, HandlingClearsItsGuardOnEveryWayOut) {
  COSettingsItem item{"unknown-action"};
  EXPECT_TRUE(plugin.handle(COSettingsEvent::clicked, item, {}, nullptr));
  EXPECT_FALSE(plugin.isHandlingAction);
  plugin.isHandlingAction = true;  // an event while another is handled is dropped
  int calls = 0;
  EXPECT_TRUE(plugin.handle(
      COSettingsEvent::clicked, item,
      [&](COSettingsCallbackAction, const std::optional<COValue>&) { ++calls; }, nullptr));
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace vorelia
