#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <clocale>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/api.h"
#include "api/update_installer.h"
#include "platform/leftovers.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::HttpTestServer;
using testing::namesIn;
using testing::readFile;
using testing::TestReply;
using testing::treeSnapshot;
using UpdateResult = Api::UpdateResult;

// An entry of a zip archive written byte by byte, so that archives no well-behaved tool makes
// (names with "..", absolute names, links, devices, bombs, sizes that lie) reach the installer.
struct ZipEntry {
  std::string name;
  std::string data;              // a symbolic link's data is its target
  std::uint32_t mode = 0100644;  // Unix type and permission bits
  bool utf8Flag = true;          // general purpose bit 11: the name is UTF-8
  bool deflated = false;         // compressed with deflate, else stored
  // The uncompressed size the headers claim, when it is not the data's.
  std::optional<std::uint32_t> claimedSize{};

  static ZipEntry File(std::string name, std::string data) {
    return {std::move(name), std::move(data)};
  }
  static ZipEntry Folder(std::string name) { return {std::move(name), "", 040755}; }
  static ZipEntry Link(std::string name, std::string target) {
    return {std::move(name), std::move(target), 0120777};
  }
};

// value as count little-endian bytes.
std::string Le(std::uint64_t value, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// The bytes as a raw deflate stream, as zip entries of method 8 hold them: zlib's stream without
// its two-byte header and four-byte checksum.
std::string Deflate(const std::string& bytes) {
  uLongf size = compressBound(bytes.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 9) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  return out.substr(2, size - 6);
}

// A complete zip archive of the entries, in order.
std::string BuildZip(const std::vector<ZipEntry>& entries) {
  std::string archive, directory;
  for (const auto& entry : entries) {
    const std::string stored = entry.deflated ? Deflate(entry.data) : entry.data;
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                           static_cast<uInt>(entry.data.size()));
    // What both headers hold, from the version needed to the length of the name: flags, method,
    // time and date, checksum, sizes.
    const std::string fields =
        Le(20, 2) + Le(entry.utf8Flag ? 0x0800 : 0, 2) + Le(entry.deflated ? 8 : 0, 2) + Le(0, 2) +
        Le(0x21, 2) + Le(crc, 4) + Le(stored.size(), 4) +
        Le(entry.claimedSize.value_or(entry.data.size()), 4) + Le(entry.name.size(), 2);
    // The central record: made by Unix, then no extra field, comment, disk or internal attributes.
    directory += Le(0x02014b50, 4) + Le((3u << 8) | 20u, 2) + fields + Le(0, 8) +
                 Le(entry.mode << 16, 4) + Le(archive.size(), 4) + entry.name;
    archive += Le(0x04034b50, 4) + fields + Le(0, 2) + entry.name + stored;
  }
  return archive + directory + Le(0x06054b50, 4) + Le(0, 4) + Le(entries.size(), 2) +
         Le(entries.size(), 2) + Le(directory.size(), 4) + Le(archive.size(), 4) + Le(0, 2);
}

// The entries of a VoreliaC1Plugin.coplugin the installer takes: an Info.json that names the
// principal class and the library, and the library holding libraryBytes.
std::vector<ZipEntry> LoadableBundle(const std::string& libraryBytes) {
  return {ZipEntry::File("VoreliaC1Plugin.coplugin/Info.json",
                         R"({"principalClass":"VoreliaC1Plugin","library":"VoreliaC1Plugin.so"})"),
          ZipEntry::File("VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", libraryBytes)};
}

// Writes bytes to path, creating its folders.
void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// An installed plug-in and a neighbour that an update must leave alone, and the update library on
// a loopback server.
class Updates : public ::testing::Test {
 protected:
  Updates() {
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", "old library");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Info.json", "old info");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Resources/kept.txt", "kept");
    WriteFile(plugins / "Other.coplugin/Info.json", "other");
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

  // Writes the archive's bytes to a file; its path.
  fs::path Archive(const std::string& bytes) {
    WriteFile(home.path() / "update.zip", bytes);
    return home.path() / "update.zip";
  }

  testing::TempHome home;
  HttpTestServer server;
  fs::path plugins = PluginsFolder(home.path() / "Library");
  fs::path downloads = home.path() / "Downloads";
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/api/"), server.url("/updates/"), "", ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  const std::string archive020 = BuildZip(LoadableBundle("library 0.2.0"));
};

// A failed download saves nothing and is tried again; an archive that arrived whole but does not
// unpack stays as the mark of its version and leaves the plug-in alone. An installed one removes
// the older copies: entries named "Vorelia" without the version, links not followed.
TEST_F(Updates, DownloadInstallsTheArchiveAndRemovesOlderCopiesOrChangesNothing) {
  WriteFile(plugins / "VoreliaC1Plugin.0.2.0.coplugin/Info.json", "kept");
  WriteFile(plugins / "VoreliaC1Plugin.0.1.5.coplugin/Contents/VoreliaC1Plugin.so", "old");
  WriteFile(plugins / "Vorelia notes.txt", "older too");
  fs::create_symlink(plugins / "Other.coplugin", plugins / "Vorelia link");
  const auto before = treeSnapshot(plugins);
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
    EXPECT_THAT(namesIn(downloads), ::testing::IsEmpty());
    EXPECT_EQ(treeSnapshot(plugins), before);
  }

  server.reply(path, TestReply{200, {}, archive020});
  ASSERT_EQ(Download("0.2.0"), UpdateResult::installed);
  EXPECT_EQ(readFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "library 0.2.0");
  EXPECT_THAT(namesIn(plugins),
              ::testing::UnorderedElementsAre("VoreliaC1Plugin.coplugin",
                                              "VoreliaC1Plugin.0.2.0.coplugin", "Other.coplugin"));
  EXPECT_EQ(readFile(plugins / "Other.coplugin/Info.json"), "other");
  EXPECT_THAT(namesIn(downloads), ::testing::ElementsAre(saved.filename()));
  EXPECT_EQ(readFile(saved), archive020);
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
  EXPECT_EQ(readFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "old library");
}

// The new bundle replaces the old one whole: nothing of the old stays in it. A framework inside the
// bundle carries links that stay inside it; they are kept as links. Names are read as UTF-8, with
// or without the archive's flag, also in the "C" locale the test runs in.
TEST_F(Updates, InstallReplacesTheBundleWholeByRename) {
  ASSERT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
  std::ifstream loaded(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so");  // "mapped"
  const std::string framework = "VoreliaC1Plugin.coplugin/Frameworks/X.framework/";
  ZipEntry unflagged = ZipEntry::File("VoreliaC1Plugin.coplugin/Resources/Café crème.txt", "2");
  unflagged.utf8Flag = false;
  auto entries = LoadableBundle("new");
  entries.insert(
      entries.end(),
      {ZipEntry::Folder("./"),  // the folder itself, as archivers of its contents write it
       ZipEntry::Folder("VoreliaC1Plugin.coplugin/"),
       ZipEntry::File("VoreliaC1Plugin.coplugin/Resources/Größe und Maß.txt", "1"),
       unflagged,
       {"VoreliaC1Plugin.coplugin/run.sh", "#!", 0100755},
       ZipEntry::File(framework + "Versions/A/X", "x code"),
       ZipEntry::Link(framework + "Versions/Current", "A"),
       ZipEntry::Link(framework + "X", "Versions/Current/X"),
       ZipEntry::Link(framework + "Headers", "./Versions/../Versions/Current/Headers"),
       // Down two folders, then up three: still inside Frameworks.
       ZipEntry::Link(framework + "Y", "Versions/A/../../../X.framework/Versions/A/X")});
  ASSERT_EQ(InstallArchive(Archive(BuildZip(entries)), plugins), InstallResult::installed);
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE) << "locale restored";

  const fs::path bundle = plugins / "VoreliaC1Plugin.coplugin";
  EXPECT_EQ(readFile(bundle / "VoreliaC1Plugin.so"), "new");
  EXPECT_EQ(readFile(bundle / "Resources/Größe und Maß.txt"), "1");
  EXPECT_EQ(readFile(plugins / unflagged.name), "2");
  EXPECT_FALSE(fs::exists(bundle / "Resources/kept.txt"));
  EXPECT_EQ(readFile(plugins / "Other.coplugin/Info.json"), "other");
  EXPECT_NE(fs::status(bundle / "run.sh").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::read_symlink(plugins / framework / "Versions/Current"), "A");
  EXPECT_TRUE(fs::is_symlink(plugins / framework / "X"));
  EXPECT_EQ(readFile(plugins / framework / "X"), "x code");
  EXPECT_EQ(readFile(plugins / framework / "Y"), "x code");
  // The open file still reads the old bytes: it was replaced, not rewritten.
  std::string still;
  std::getline(loaded, still);
  EXPECT_EQ(still, "old library");
}

TEST_F(Updates, RefusedOrDamagedArchivesInstallNothingAndReachNothingOutside) {
  const std::string outside = (home.path() / "outside.txt").string();
  // A loadable bundle first, so that an installer that writes as it goes would show it.
  const auto withGoodEntries = [](std::vector<ZipEntry> bad) {
    auto entries = LoadableBundle("evil");
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
      {"parent inside the bundle",
       withGoodEntries({ZipEntry::File("VoreliaC1Plugin.coplugin/../../../outside.txt", "x")}),
       InstallResult::refusedEntry},
      {"another plug-in beside ours",
       withGoodEntries({ZipEntry::File("OtherVendor.coplugin/Info.json", "x"),
                        ZipEntry::File("OtherVendor.coplugin/evil.so", "x")}),
       InstallResult::refusedEntry},
      {"a file beside our bundle", withGoodEntries({ZipEntry::File("evil.so", "x")}),
       InstallResult::refusedEntry},
      {"absolute name", withGoodEntries({ZipEntry::File(outside, "x")}),
       InstallResult::refusedEntry},
      {"link to an absolute path",
       withGoodEntries(
           {ZipEntry::Link("VoreliaC1Plugin.coplugin/Resources", home.path().string())}),
       InstallResult::refusedEntry},
      {"the bundle a link to an absolute path",
       BuildZip(
           {ZipEntry::Link("VoreliaC1Plugin.coplugin", (plugins / "Other.coplugin").string())}),
       InstallResult::refusedEntry},
      {"link out of the bundle", withGoodEntries({ZipEntry::Link(framework + "up", "../../..")}),
       InstallResult::refusedEntry},
      // Back in through the bundle's own name: it would lead elsewhere once the folder is renamed.
      {"link out of the bundle and back in",
       withGoodEntries({ZipEntry::Link("VoreliaC1Plugin.coplugin/Resources/back",
                                       "../../VoreliaC1Plugin.coplugin/Info.json")}),
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
      {"device", withGoodEntries({{"VoreliaC1Plugin.coplugin/tty", "", 0020666}}),
       InstallResult::refusedEntry},
      {"no Info.json", BuildZip({good[0]}), InstallResult::notABundle},
      {"Info without a principal class", withInfo("{}"), InstallResult::notABundle},
      {"library not in the archive",
       withInfo(R"({"principalClass":"VoreliaC1Plugin","library":"Missing.so"})"),
       InstallResult::notABundle},
      {"library a folder",
       BuildZip({ZipEntry::File("VoreliaC1Plugin.coplugin/Info.json",
                                R"({"principalClass":"P","library":"Resources"})"),
                 ZipEntry::File("VoreliaC1Plugin.coplugin/Resources/x", "x")}),
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
      // Only the directory at the end is cut: every entry before it still reads.
      {"cut inside the directory", goodBytes.substr(0, goodBytes.size() - 30),
       InstallResult::unreadableArchive},
      {"damaged data", corrupted, InstallResult::unreadableArchive},
  };
  const auto before = treeSnapshot(plugins);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(InstallArchive(Archive(c.bytes), plugins, c.limits), c.result);
    EXPECT_EQ(treeSnapshot(plugins), before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
  }
  WriteFile(home.path() / "a file", "x");  // no plug-ins folder can be made under a file
  EXPECT_EQ(InstallArchive(Archive(goodBytes), home.path() / "a file" / "Plug-ins"),
            InstallResult::fileSystemFailure);
  EXPECT_EQ(InstallArchive(Archive(goodBytes), plugins, InstallLimits{.maxBytes = 4067}),
            InstallResult::installed)
      << "the library and its Info make exactly the limit";
}

// A kill at any step of the swap leaves a whole bundle, old or new, once the next start has put
// back what was set aside; that start removes what dead runs left and nothing live runs use.
TEST_F(Updates, AnInstallCutShortLeavesAWholeBundleAndTheNextStartTidiesUp) {
  const fs::path bundle = plugins / "VoreliaC1Plugin.coplugin";
  const struct {
    InstallStep step;
    const char* library;
  } cases[] = {{InstallStep::moveIn, "old library"}, {InstallStep::removeOld, "library 0.2.0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    fs::remove_all(bundle);
    WriteFile(bundle / "VoreliaC1Plugin.so", "old library");
    const auto killedAt = [&c](InstallStep step) { return step != c.step; };
    EXPECT_EQ(InstallArchive(Archive(archive020), plugins, {}, killedAt),
              InstallResult::fileSystemFailure);
    Api::RemovalOfLeftoversOfKilledRuns()();
    EXPECT_EQ(readFile(bundle / "VoreliaC1Plugin.so"), c.library);
    EXPECT_THAT(namesIn(plugins.parent_path()), ::testing::ElementsAre("Plug-ins"));
  }
  // Killed between two renames, where the folders cannot be exchanged in one step.
  fs::create_directory(plugins.parent_path() / ".plug-in-update-killed");
  fs::rename(bundle, plugins.parent_path() / ".plug-in-update-killed" / "previous");
  Api::RemovalOfLeftoversOfKilledRuns()();
  EXPECT_EQ(readFile(bundle / "VoreliaC1Plugin.so"), "library 0.2.0");
  EXPECT_THAT(namesIn(plugins.parent_path()), ::testing::ElementsAre("Plug-ins"));

  const fs::path live = plugins.parent_path() / ".plug-in-update-live";
  const fs::path partial = downloads / ".VoreliaCaptureOnePlugin.0.2.0.coplugin.zip-";
  const fs::path download = fs::temp_directory_path() / "vorelia-download-abandoned-by-a-test";
  fs::create_directories(live);
  WriteFile(fs::path(partial.string() + "live"), "partial");
  WriteFile(fs::path(partial.string() + "dead"), "partial");
  WriteFile(download, "partial");
  const platform::InUseLock locks[] = {platform::InUseLock(live),
                                       platform::InUseLock(partial.string() + "live")};
  Api::RemovalOfLeftoversOfKilledRuns()();
  EXPECT_THAT(namesIn(downloads), ::testing::ElementsAre(partial.filename().string() + "live"));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_FALSE(fs::exists(download));
}

TEST_F(Updates, AnUpdateDocumentPastOneMebibyteIsNoAnswer) {
  server.reply("/updates/details.json", TestReply{.generatedBodySize = (1 << 20) + 1});
  std::promise<bool> answered;
  api->CheckForUpdates([&answered](std::optional<JSON> json, std::shared_ptr<Api>) {
    answered.set_value(json.has_value());
  });
  auto result = answered.get_future();
  ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_FALSE(result.get());
}

}  // namespace
}  // namespace vorelia
