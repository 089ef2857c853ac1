#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>

#include "api/api.h"
#include "api/queue_message.h"
#include "api/update_installer.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"
#include "zip_builder.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::BuildZip;
using testing::HttpTestServer;
using testing::LoadableBundle;
using testing::Names;
using testing::ReadFile;
using testing::TestReply;
using testing::waitUntil;
using testing::WriteFile;
using testing::ZipEntry;
using UpdateResult = Api::UpdateResult;

class Updates : public ::testing::Test {
 protected:
  Updates() {
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", "old library");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Info.json", "old info");
  }

  // Runs DownloadUpdate for version and waits for its end.
  UpdateResult Download(std::optional<std::string> version) {
    state->updateVersion.set(std::move(version));
    std::promise<UpdateResult> finished;
    api->DownloadUpdate([&finished](UpdateResult result) { finished.set_value(result); });
    auto result = finished.get_future();
    if (result.wait_for(seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "DownloadUpdate did not finish";
      return UpdateResult::skipped;
    }
    return result.get();
  }

  testing::TempHome home;
  HttpTestServer server;
  fs::path plugins = PluginsFolder(home.path() / "Library");
  fs::path downloads = home.path() / "Downloads";
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/api/"), server.url("/updates/"), server.url("/queue?sig=s"), ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  const std::string archive020 = BuildZip(testing::LoadableBundle("library 0.2.0"));
};

// A failed download saves nothing and is tried again; an archive that arrived whole but does not
// unpack stays as the mark of its version and leaves the plug-in alone.
TEST_F(Updates, DownloadInstallsTheArchiveAndRemovesOlderCopiesOrChangesNothing) {
  WriteFile(plugins / "VoreliaC1Plugin.0.2.0.coplugin/Info.json", "kept");
  WriteFile(plugins / "VoreliaC1Plugin.0.1.5.coplugin/Contents/VoreliaC1Plugin.so", "old");
  WriteFile(plugins / "Other.coplugin/Info.json", "other");
  const auto before = Names(plugins);
  const std::string path = "/updates/VoreliaCaptureOnePlugin.0.2.0.coplugin.zip";
  const fs::path saved = downloads / "VoreliaCaptureOnePlugin.0.2.0.coplugin.zip";
  const struct {
    const char* what;
    TestReply reply;
    std::size_t attempts;
    UpdateResult result;
  } cases[] = {
      {"not found", TestReply{404, {}, "<Error><Code>BlobNotFound</Code></Error>"}, 1,
       UpdateResult::downloadFailed},
      {"server error, retried", TestReply{503, {}, archive020}, 4, UpdateResult::downloadFailed},
      {"cut short", TestReply{.status = 200, .body = archive020, .dropAfter = 40}, 1,
       UpdateResult::downloadFailed},
      {"does not unpack", TestReply{200, {}, archive020.substr(0, archive020.size() - 10)}, 1,
       UpdateResult::notInstalled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.reply(path, c.reply);
    const auto sent = server.requestCount();
    EXPECT_EQ(Download("0.2.0"), c.result);
    EXPECT_EQ(server.requestCount() - sent, c.attempts);
    EXPECT_EQ(fs::remove(saved), c.result == UpdateResult::notInstalled);
    EXPECT_THAT(Names(downloads), ::testing::IsEmpty());
    EXPECT_THAT(Names(plugins), ::testing::UnorderedElementsAreArray(before));
    EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "old library");
    EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/Info.json"), "old info");
  }

  server.reply(path, TestReply{200, {}, archive020});
  ASSERT_EQ(Download("0.2.0"), UpdateResult::installed);
  EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "library 0.2.0");
  EXPECT_THAT(Names(plugins),
              ::testing::UnorderedElementsAre("VoreliaC1Plugin.coplugin",
                                              "VoreliaC1Plugin.0.2.0.coplugin", "Other.coplugin"));
  EXPECT_THAT(Names(downloads), ::testing::ElementsAre(saved.filename()));
  EXPECT_EQ(ReadFile(saved), archive020);
  const auto request = server.requests().back();
  EXPECT_EQ(request.method, "GET");
  EXPECT_FALSE(request.header("Authorization").has_value());
}

TEST_F(Updates, NoRequestWithoutAUsableVersionOrWhenTheArchiveIsThere) {
  WriteFile(downloads / "VoreliaCaptureOnePlugin.0.2.0.coplugin.zip", "whatever the user kept");
  const struct {
    std::optional<std::string> version;
    UpdateResult expected;
  } cases[] = {
      {"0.2.0", UpdateResult::alreadyDownloaded},   {std::nullopt, UpdateResult::skipped},
      {"/../../../escaped", UpdateResult::skipped}, {"0.2.0?x=1", UpdateResult::skipped},
      {"0.2 beta", UpdateResult::skipped},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Download(c.version), c.expected) << c.version.value_or("(absent)");
  }
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "old library");
}

TEST(QueueMessage, Base64OfEveryRemainder) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64Encode(bytes), text) << text;
}

TEST_F(Updates, UsageRecordIsPostedAsABase64QueueMessage) {
  server.reply("/queue", TestReply{201});
  const JSON record{{"action", "voreliaPublishShare"}, {"account", "studio"}, {"imageCount", 3}};
  api->PostToQueue(record);
  ASSERT_TRUE(server.waitForRequests(1));
  const auto request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.query, "sig=s");
  EXPECT_EQ(request.header("Content-Type"), "application/xml; charset=utf-8");
  // The record goes pretty-printed, as the readers of the queue expect.
  ASSERT_NE(record.rawData(true)->find('\n'), std::string::npos);
  EXPECT_EQ(request.body, "<QueueMessage><MessageText>" + Base64Encode(*record.rawData(true)) +
                              "</MessageText></QueueMessage>");
}

TEST_F(Updates, PostingNeverWaitsForTheQueue) {
  server.reply("/queue", TestReply{.stall = true});
  const JSON record{{"imageCount", 1}};
  const std::string urls[] = {server.url("/queue?sig=s"), "http://127.0.0.1:9/queue?sig=s"};
  for (const auto& url : urls) {
    auto unreachable = std::make_shared<PluginState>(Deployment{"", "", url, ""});
    auto client = std::make_shared<Api>(unreachable);
    auto posted = std::async(std::launch::async, [&] { client->PostToQueue(record); });
    EXPECT_TRUE(waitUntil([&] { return posted.wait_for(seconds(0)) == std::future_status::ready; }))
        << url;
  }
  EXPECT_TRUE(server.waitForRequests(1)) << "the stalled post did go out";
}

// Every entry under folder: its kind, permissions and bytes (or link target).
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  if (!fs::exists(folder)) return entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const auto status = entry.symlink_status();
    std::string what = std::to_string(static_cast<int>(status.type())) + ":" +
                       std::to_string(static_cast<int>(status.permissions())) + ":";
    if (fs::is_symlink(status)) what += fs::read_symlink(entry.path()).string();
    if (fs::is_regular_file(status)) what += ReadFile(entry.path());
    entries[fs::relative(entry.path(), folder).string()] = what;
  }
  return entries;
}

class UpdateInstaller : public ::testing::Test {
 protected:
  UpdateInstaller() {
    // An installed plug-in and a neighbour that an update must leave alone.
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Info.json",
              "{\"pluginVersion\": \"0.1.5-beta\"}");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", "old library");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Resources/kept.txt", "kept");
    WriteFile(plugins / "Other.coplugin/Info.json", "other");
  }

  // An archive of a loadable bundle followed by the entries.
  fs::path Archive(const std::vector<ZipEntry>& entries) {
    auto all = LoadableBundle("new");
    all.insert(all.end(), entries.begin(), entries.end());
    const fs::path path = home.path() / "update.zip";
    WriteFile(path, BuildZip(all));
    return path;
  }

  // The folder beside the plug-ins folder holds nothing but the plug-ins folder: no staging
  // leftovers.
  std::vector<std::string> Beside() const { return Names(plugins.parent_path()); }

  testing::TempHome home;
  fs::path plugins = PluginsFolder(home.path() / "Library");
};

// A framework inside the bundle carries links that stay inside it; they are kept as links.
TEST_F(UpdateInstaller, ReplacesFilesByRenameAndKeepsTheRest) {
  std::ifstream loaded(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so");  // "mapped"
  const std::string framework = "VoreliaC1Plugin.coplugin/Frameworks/X.framework/";
  const auto archive =
      Archive({ZipEntry::Folder("VoreliaC1Plugin.coplugin/"),
               ZipEntry::File("VoreliaC1Plugin.coplugin/Resources/icon.icns", "i"),
               {"VoreliaC1Plugin.coplugin/run.sh", "#!", 0100755},
               ZipEntry::File(framework + "Versions/A/X", "x code"),
               ZipEntry::Link(framework + "Versions/Current", "A"),
               ZipEntry::Link(framework + "X", "Versions/Current/X"),
               ZipEntry::Link(framework + "Headers", "./Versions/../Versions/Current/Headers")});
  ASSERT_EQ(InstallArchive(archive, plugins), InstallResult::installed);

  const fs::path bundle = plugins / "VoreliaC1Plugin.coplugin";
  EXPECT_EQ(ReadFile(bundle / "VoreliaC1Plugin.so"), "new");
  EXPECT_EQ(ReadFile(bundle / "Resources/icon.icns"), "i");
  EXPECT_EQ(ReadFile(bundle / "Resources/kept.txt"), "kept");
  EXPECT_EQ(ReadFile(plugins / "Other.coplugin/Info.json"), "other");
  EXPECT_NE(fs::status(bundle / "run.sh").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::read_symlink(plugins / framework / "Versions/Current"), "A");
  EXPECT_TRUE(fs::is_symlink(plugins / framework / "X"));
  EXPECT_EQ(ReadFile(plugins / framework / "X"), "x code");
  // The open file still reads the old bytes: it was replaced, not rewritten.
  std::string still;
  std::getline(loaded, still);
  EXPECT_EQ(still, "old library");
  EXPECT_THAT(Beside(), ::testing::ElementsAre("Plug-ins"));
}

TEST_F(UpdateInstaller, RefusedOrDamagedArchivesInstallNothingAndReachNothingOutside) {
  const std::string outside = (home.path() / "outside.txt").string();
  // A loadable bundle first, so that an installer that writes as it goes would show it.
  const auto withGoodEntries = [](std::vector<ZipEntry> bad) {
    auto entries = LoadableBundle("evil");
    entries.push_back(ZipEntry::File("Dropped.coplugin/Info.json", "x"));
    entries.insert(entries.end(), bad.begin(), bad.end());
    return BuildZip(entries);
  };
  const auto withInfo = [](std::string info) {
    return BuildZip({ZipEntry::File("VoreliaC1Plugin.coplugin/Info.json", std::move(info)),
                     ZipEntry::File("VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", "x")});
  };
  auto good = LoadableBundle(std::string(4000, 'n'));
  std::swap(good[0], good[1]);  // the library's data first
  const std::string goodBytes = BuildZip(good);
  std::string corrupted = goodBytes;
  corrupted[100] ^= 0x55;  // inside the first entry's data: its checksum no longer matches
  // Zeros deflate a thousandfold: a small archive that would unpack to far more than it is.
  const std::string zeros(2 << 20, '\0');
  ZipEntry bomb = ZipEntry::File("VoreliaC1Plugin.coplugin/Resources/zeros", zeros);
  bomb.deflated = true;
  ZipEntry lyingBomb = bomb;
  lyingBomb.claimedSize = 100;
  const std::string framework = "VoreliaC1Plugin.coplugin/Frameworks/X.framework/";
  const struct {
    const char* what;
    std::string bytes;
    InstallResult result;
    InstallLimits limits{};
  } cases[] = {
      {"parent component", withGoodEntries({ZipEntry::File("../outside.txt", "x")}),
       InstallResult::refusedEntry},
      {"parent inside the bundle",
       withGoodEntries({ZipEntry::File("VoreliaC1Plugin.coplugin/../../../outside.txt", "x")}),
       InstallResult::refusedEntry},
      {"absolute name", withGoodEntries({ZipEntry::File(outside, "x")}),
       InstallResult::refusedEntry},
      {"link to an absolute path",
       withGoodEntries(
           {ZipEntry::Link("VoreliaC1Plugin.coplugin/Resources", home.path().string())}),
       InstallResult::refusedEntry},
      {"link out of the bundle", withGoodEntries({ZipEntry::Link(framework + "up", "../../..")}),
       InstallResult::refusedEntry},
      {"link at the top",
       withGoodEntries({ZipEntry::Link("Evil.coplugin", "VoreliaC1Plugin.coplugin")}),
       InstallResult::refusedEntry},
      {"link out through a link",
       withGoodEntries({ZipEntry::Link(framework + "root", "../.."),
                        ZipEntry::Link(framework + "out", "root/../outside.txt")}),
       InstallResult::refusedEntry},
      {"file through a link",
       withGoodEntries({ZipEntry::Link(framework + "Current", "A"),
                        ZipEntry::File(framework + "Current/X", "x")}),
       InstallResult::refusedEntry},
      {"character device", withGoodEntries({{"VoreliaC1Plugin.coplugin/tty", "", 0020666}}),
       InstallResult::refusedEntry},
      {"block device", withGoodEntries({{"VoreliaC1Plugin.coplugin/disk", "", 0060666}}),
       InstallResult::refusedEntry},
      {"no Info.json", BuildZip({good[0]}), InstallResult::notABundle},
      {"empty Info", withInfo("{}"), InstallResult::notABundle},
      {"Info that is not JSON", withInfo("principalClass"), InstallResult::notABundle},
      {"library not in the archive",
       withInfo(R"({"principalClass":"VoreliaC1Plugin","library":"Missing.so"})"),
       InstallResult::notABundle},
      {"library outside the bundle",
       withInfo(R"({"principalClass":"P","library":"../Other.coplugin/Info.json"})"),
       InstallResult::notABundle},
      {"unpacks to 200 times its size", withGoodEntries({bomb}), InstallResult::tooLarge},
      {"sizes that lie", withGoodEntries({lyingBomb}), InstallResult::tooLarge},
      {"files that pass the byte limit together",
       withGoodEntries({ZipEntry::File("VoreliaC1Plugin.coplugin/a", std::string(3000, 'a')),
                        ZipEntry::File("VoreliaC1Plugin.coplugin/b", std::string(3000, 'b'))}),
       InstallResult::tooLarge, InstallLimits{.maxBytes = 5000}},
      {"cut before the end", goodBytes.substr(0, goodBytes.size() / 2),
       InstallResult::unreadableArchive},
      {"cut inside the directory", goodBytes.substr(0, goodBytes.size() - 30),
       InstallResult::unreadableArchive},
      {"damaged data", corrupted, InstallResult::unreadableArchive},
      {"not an archive", "<html>404 Not Found</html>", InstallResult::unreadableArchive},
      {"empty file", "", InstallResult::unreadableArchive},
  };
  const auto before = Snapshot(plugins);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = home.path() / "update.zip";
    WriteFile(path, c.bytes);
    EXPECT_EQ(InstallArchive(path, plugins, c.limits), c.result);
    EXPECT_EQ(Snapshot(plugins), before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
    EXPECT_THAT(Beside(), ::testing::ElementsAre("Plug-ins"));
  }
  WriteFile(home.path() / "update.zip", goodBytes);
  WriteFile(home.path() / "a file", "x");  // no plug-ins folder can be made under a file
  EXPECT_EQ(InstallArchive(home.path() / "update.zip", home.path() / "a file" / "Plug-ins"),
            InstallResult::fileSystemFailure);
  EXPECT_EQ(InstallArchive(home.path() / "update.zip", plugins, InstallLimits{.maxBytes = 4067}),
            InstallResult::installed)
      << "the library and its Info make exactly the limit";
}

TEST_F(UpdateInstaller, NamesWithSpacesAndAccentsSurviveAnyLocale) {
  const std::string flagged = "VoreliaC1Plugin.coplugin/Resources/Größe und Maß.txt";
  const std::string unflagged = "VoreliaC1Plugin.coplugin/Resources/Café crème.txt";
  for (const char* locale : {"C", "C.UTF-8"}) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
    ZipEntry noFlag = ZipEntry::File(unflagged, "2");
    noFlag.utf8Flag = false;
    // "./", the folder itself, as archivers of a folder's contents write it.
    const auto result = InstallArchive(
        Archive({ZipEntry::Folder("./"), ZipEntry::File(flagged, "1"), noFlag}), plugins);
    EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE) << "locale restored";
    std::setlocale(LC_ALL, previous.c_str());
    ASSERT_EQ(result, InstallResult::installed) << locale;
    EXPECT_EQ(ReadFile(plugins / flagged), "1") << locale;
    EXPECT_EQ(ReadFile(plugins / unflagged), "2") << locale;
    fs::remove_all(plugins / "VoreliaC1Plugin.coplugin/Resources");
  }
}

TEST_F(UpdateInstaller, CleanupRemovesOnlyOlderCopies) {
  WriteFile(plugins / "VoreliaC1Plugin.0.2.0.coplugin/Info.json", "kept");
  WriteFile(plugins / "VoreliaC1Plugin.0.1.5.coplugin/Contents/VoreliaC1Plugin.so", "older");
  WriteFile(plugins / "Vorelia notes.txt", "older too");
  fs::create_symlink(plugins / "Other.coplugin", plugins / "Vorelia link");

  ASSERT_TRUE(RemoveOlderEntries(plugins, "0.2.0"));
  EXPECT_THAT(Names(plugins),
              ::testing::UnorderedElementsAre("VoreliaC1Plugin.coplugin",
                                              "VoreliaC1Plugin.0.2.0.coplugin", "Other.coplugin"));
  EXPECT_EQ(ReadFile(plugins / "Other.coplugin/Info.json"), "other") << "a link is not followed";

  // The empty version is in every name: nothing goes.
  WriteFile(plugins / "VoreliaC1Plugin.0.1.5.coplugin/Info.json", "older");
  ASSERT_TRUE(RemoveOlderEntries(plugins, ""));
  EXPECT_TRUE(fs::exists(plugins / "VoreliaC1Plugin.0.1.5.coplugin"));
}

}  // namespace
}  // namespace vorelia
