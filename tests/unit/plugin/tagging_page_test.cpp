#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/keys.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

std::vector<std::string> Labels(const COSettingsElementsGroup& group) {
  std::vector<std::string> labels;
  for (const auto& element : group.elements) {
    if (const auto* label = std::get_if<COSettingsLabelItem>(&element)) {
      labels.push_back(label->value);
    }
  }
  return labels;
}

class TaggingPage : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::HttpTestServer service;
  testing::ScopedEnvironment serviceUrl{"VORELIA_API_URL", service.url("/api/")};
  std::optional<VoreliaC1Plugin> plugin{std::in_place};
  int reloads = 0;
  COSettingsCallback callback = [this](COSettingsCallbackAction, const std::optional<COValue>&) {
    ++reloads;
  };

  void set(const std::string& id, COValue value) {
    EXPECT_TRUE(plugin->didUpdateValue(value, id, callback, nullptr));
  }
  COSettingsElementsGroup group(void (VoreliaC1Plugin::*fill)(COSettingsElementsGroup&)) {
    COSettingsElementsGroup g{"", {}};
    ((*plugin).*fill)(g);
    return g;
  }
};

TEST_F(TaggingPage, CreditsLabelsWriteTheShortestExactNumber) {
  struct Case {
    std::optional<JSON> info;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {JSON{{"creditsUsed", 12}, {"creditsLimit", 100.0}, {"extraCredits", 0}},
       {"You used 12.0 of your 100.0 monthly credits", "You have 0.0 extra credits remaining"}},
      {JSON{{"creditsUsed", 1.5}, {"creditsLimit", 0.1}, {"extraCredits", 2.25}},
       {"You used 1.5 of your 0.1 monthly credits", "You have 2.25 extra credits remaining"}},
      {JSON{{"creditsUsed", "7"}},  // a text member reads as its number, a missing one as 0
       {"You used 7.0 of your 0.0 monthly credits", "You have 0.0 extra credits remaining"}},
      // Beyond every exact integer a count keeps its exponent; "inf" is no count.
      {JSON{{"creditsUsed", 1e300}, {"creditsLimit", "inf"}, {"extraCredits", -2e6}},
       {"You used 1e+300 of your 0.0 monthly credits",
        "You have -2000000.0 extra credits remaining"}},
      {std::nullopt, {"Your credits info could not be fetched"}},
  };
  for (const auto& c : cases) {
    plugin->state->creditsInfo.set(c.info);
    plugin->state->creditsUpdated = true;
    const auto g = group(&VoreliaC1Plugin::autoTaggingWrapperSettings);
    const auto* button = std::get_if<COSettingsButtonItem>(&g.elements.at(c.labels.size()));
    ASSERT_TRUE(button != nullptr);
    EXPECT_EQ(button->identifier + " " + button->title, "checkCredits-action Refresh");
    auto labels = Labels(g);
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.back(), "Settings:");
    labels.pop_back();
    EXPECT_EQ(labels, c.labels);
  }
}

TEST_F(TaggingPage, CheckBoxesReflectAndPersistTheOptions) {
  const auto boxes = [&] {
    std::vector<std::pair<std::string, bool>> result;
    for (const auto& element : group(&VoreliaC1Plugin::autoTaggingSettings).elements) {
      if (const auto* box = std::get_if<COSettingsBoolItem>(&element)) {
        result.emplace_back(box->identifier, box->value);
      }
    }
    return result;
  };
  auto initial = boxes();
  ASSERT_EQ(initial.size(), 11u);
  EXPECT_EQ(initial[0], std::make_pair(std::string("general-input"), true));  // first-run default
  EXPECT_EQ(initial[1], std::make_pair(std::string("face-input"), true));
  EXPECT_EQ(initial[10], std::make_pair(std::string("texture-input"), false));

  set("general-input", false);
  set("describe-input", true);
  set("texture-input", true);
  set("face-input", std::string("false"));  // not a Boolean: ignored
  set("landmark-input", 1.0);
  EXPECT_TRUE(plugin->state->describe);
  EXPECT_FALSE(plugin->state->general);
  EXPECT_EQ(reloads, 0);

  auto expected = initial;
  expected[0].second = false;
  expected[3].second = true;
  expected[10].second = true;
  EXPECT_EQ(boxes(), expected);
  plugin.emplace();  // a restart reads them back from the defaults
  EXPECT_EQ(boxes(), expected);
  EXPECT_TRUE(plugin->state->texture);
}

TEST_F(TaggingPage, RatingChoiceIsStoredAsText) {
  struct Case {
    COValue value;
    std::string stored;
  };
  const Case cases[] = {
      {std::string("Purple"), "Purple"},
      {std::string("Teal"), "Teal"},  // kept as given; the ratings script treats it as Green
      {3.0, "3"},
      {std::vector<std::string>{"Red"}, "Green"},
      {true, "Green"},
  };
  for (const auto& c : cases) {
    set("taggingOptions-action", c.value);
    EXPECT_EQ(plugin->state->taggingOption.get(), c.stored);
    EXPECT_EQ(platform::UserDefaults::standard()->string(std::string(P::TaggingOption)), c.stored);
  }
  set("taggingOptions-action", std::string("4"));
  plugin.emplace();
  EXPECT_EQ(plugin->state->taggingOption.get(), "4");
  EXPECT_EQ(reloads, 0);
}

TEST_F(TaggingPage, ProofingGroupFollowsTheSearch) {
  const auto describe = [&] {
    std::vector<std::string> lines;
    for (const auto& element : group(&VoreliaC1Plugin::proofingSettings).elements) {
      if (const auto* b = std::get_if<COSettingsButtonItem>(&element)) {
        lines.push_back(b->identifier + ":" + b->title);
      } else if (const auto* l = std::get_if<COSettingsListItem>(&element)) {
        lines.push_back(l->identifier + "=" + l->value.value_or("") + " " +
                        std::to_string(l->options.size()) + " " + l->options.front().value + ".." +
                        l->options.back().title);
      } else if (const auto* m = std::get_if<COSettingsMultipleListItem>(&element)) {
        std::string line = m->identifier;
        for (const auto& o : m->options) line += " " + o.value + "|" + o.title;
        lines.push_back(line);
      }
    }
    return lines;
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(describe(), Lines{"checkAlbumsRatings-action:Look for albums with ratings"});
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{});
  EXPECT_EQ(describe(),
            Lines{"checkAlbumsRatings-action:no albums with ratings found, try again later"});
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{
      {"Wedding", std::vector<std::string>(12, "a.")}, {"Beach", {"b."}}});
  EXPECT_EQ(describe(), (Lines{"taggingOptions-action=Green 12 1..color tag Purple",
                               "albumRating-action Beach|Beach (1) Wedding|Wedding (12)",
                               "checkAlbumsRatings-action:refresh"}));
  plugin->state->ratingsUpdated = true;
  EXPECT_EQ(describe(), Lines{"checkAlbumsRatings-action:Ratings applied, click to refresh"});
}

JSON Album(const char* name, std::vector<JSON> items) {
  return JSON{{"name", name}, {"value", JSON(std::move(items))}};
}
JSON Item(const char* name, JSON rating) { return JSON{{"name", name}, {"rating", rating}}; }

TEST_F(TaggingPage, LookingForRatingsKeepsRatedItemsAsEntries) {
  plugin->state->account.set("studio");
  plugin->state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  // Stars, zero, a pick and a rejection are ratings; a text or null is not, nor a missing one.
  const JSON answer{
      {"value",
       JSON(std::vector<JSON>{
           Album("Beach", {Item("Old.jpg", 1)}),
           Album("Wedding", {Item("W0.jpg", 0), Item("W1.jpg", "5"), Item("W2.jpg", nullptr),
                             Item("W3.jpg", 4), Item("W4.jpg", true), Item("W5.jpg", false)}),
           Album("Unrated", {Item("U.jpg", nullptr), JSON{{"name", "V.jpg"}}}),
           Album("Beach", {Item("Anna_a_s___portrait.jpg", 2), Item("sub_6_Beach_01.tar.jpg", true),
                           Item("Raw", false)}),
       })}};
  service.reply("/api/*", testing::TestReply{200, {}, *answer.rawData()});

  EXPECT_TRUE(plugin->handle(COSettingsEvent::clicked, COSettingsItem{"checkAlbumsRatings-action"},
                             callback, nullptr));
  EXPECT_EQ(reloads, 1);
  const auto albums = plugin->state->containersWithRatings.get();
  ASSERT_TRUE(albums.has_value());
  EXPECT_EQ(*albums, (std::map<std::string, std::vector<std::string>>{
                         {"Beach", {"Anna's portrait.", "Beach_01.tar.", "Raw."}},
                         {"Wedding", {"W0.", "W3.", "W4.", "W5."}}}));
  EXPECT_EQ(plugin->state->containers.get().size(), 4u);

  // A search that fails leaves the page as it was.
  service.reply("/api/*", testing::TestReply{500, {}, "{}"});
  EXPECT_TRUE(plugin->handle(COSettingsEvent::clicked, COSettingsItem{"checkAlbumsRatings-action"},
                             callback, nullptr));
  EXPECT_EQ(reloads, 2);
  EXPECT_EQ(plugin->state->containersWithRatings.get(), albums);
}

TEST_F(TaggingPage, ChoosingAnAlbumRunsItsRatingsScriptOnTheMainQueue) {
  namespace fs = std::filesystem;
  const fs::path folder = home.path() / "Library/Scripts/Capture One Scripts";
  fs::create_directories(folder);
  const fs::path program = home.path() / "interpreter.sh", ran = home.path() / "ran.scpt";
  std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << ran.string() << "\"\n";
  fs::permissions(program, fs::perms::owner_all);
  const testing::ScopedEnvironment interpreter("VORELIA_OSASCRIPT", program.string());
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{
      {"Beach", {"B1.", "B2."}}, {"Wedding", {"W1."}}});
  const auto script = [&] {
    std::ostringstream text;
    text << std::ifstream(ran).rdbuf();
    fs::remove(ran);
    return text.str();
  };

  set("albumRating-action", std::vector<std::string>{});  // nothing chosen: nothing happens
  EXPECT_EQ(platform::MainQueue::shared().drain(), 0u);
  EXPECT_EQ(reloads, 0);

  set("taggingOptions-action", std::string("Teal"));
  set("albumRating-action", std::vector<std::string>{"Wedding", "Beach"});
  EXPECT_TRUE(plugin->state->ratingsUpdated);
  EXPECT_EQ(reloads, 1);
  EXPECT_FALSE(fs::exists(ran));  // the job waits for the main queue
  // The choice is read when the job runs, not when the album was chosen.
  set("taggingOptions-action", std::string("2"));
  EXPECT_EQ(platform::MainQueue::shared().drain(), 1u);
  const std::string text = script();
  EXPECT_EQ(text.substr(0, text.find('\n')), "set imagesToBeRated to {\"W1.\"}");  // only the first
  EXPECT_NE(text.find("set rating of every variant of currentImage to 2"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(folder));  // the script file is gone

  // An album that a later search dropped is not rated.
  set("albumRating-action", std::vector<std::string>{"Gone"});
  EXPECT_EQ(platform::MainQueue::shared().drain(), 1u);
  EXPECT_FALSE(fs::exists(ran));
}

}  // namespace
}  // namespace vorelia
