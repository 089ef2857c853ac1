#include "platform/secret_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/private_keyring.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileSecretStore, KeepsItsFolderAndFilePrivateWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}}) {
    testing::TempHome home;
    const auto folder = home.path() / "Keychains";
    if (mask == 0) {  // a folder of ours that was left open is closed
      fs::create_directory(folder);
      fs::permissions(folder, fs::perms::all);
    }
    const mode_t previous = ::umask(mask);
    EXPECT_TRUE(SecretStore::file(folder)->save("k", "v"));
    ::umask(previous);
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "umask " << mask;
    EXPECT_EQ(fs::status(folder / "vorelia-secrets.json").permissions(),
              fs::perms::owner_read | fs::perms::owner_write)
        << "umask " << mask;
  }
}

// Every kind of byte survives, a fresh store reads what others wrote, and entries are replaced
// and removed.
void expectRoundTrips(const std::function<std::shared_ptr<SecretStore>()>& open) {
  const std::pair<std::string, std::string> entries[] = {
      {"a@b.example", "p@ssw0rd"},
      {"query-like &=+ %", "&=+ %/?#\"\\"},
      {"caf\xc3\xa9 \xe2\x9c\x93", "\xf0\x9f\x94\x91 s\xc3\xa9same"},
      {"binary", std::string("\xff\xfe\x00\x80 \n\r\t", 9)},
      {"long", std::string(100000, 'z')},
      {"empty", ""},
  };
  for (const auto& [key, secret] : entries) EXPECT_TRUE(open()->save(key, secret)) << key;
  const auto store = open();
  for (const auto& [key, secret] : entries) EXPECT_EQ(store->load(key), secret) << key;

  EXPECT_TRUE(store->save("empty", "second"));
  EXPECT_EQ(store->load("empty"), "second");
  EXPECT_EQ(store->load("never saved"), std::nullopt);
  EXPECT_TRUE(store->remove("empty"));
  EXPECT_EQ(store->load("empty"), std::nullopt);
  EXPECT_TRUE(store->remove("empty"));
  EXPECT_EQ(store->load("long"), std::string(100000, 'z'));
}

TEST(FileSecretStore, RoundTripsEveryByteAndSetsAnUnreadableFileAsideOnTheNextChange) {
  testing::TempHome home;
  const auto folder = home.path() / "Keychains";
  expectRoundTrips([&] { return SecretStore::file(folder); });
  const auto store = SecretStore::file(folder);
  ASSERT_TRUE(store->save("k", "v"));
  std::ofstream(folder / "vorelia-secrets.json", std::ios::trunc) << R"({"k": "not base64!"})";
  EXPECT_EQ(store->load("k"), std::nullopt);
  EXPECT_TRUE(store->save("k2", "v2"));
  EXPECT_EQ(store->load("k2"), "v2");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

TEST(FileSecretStore, StoresSharingAFolderLoseNoChange) {
  testing::TempHome home;
  const auto folder = home.path() / "Keychains";
  const auto key = [](int t, int k) { return std::to_string(t) + "/" + std::to_string(k); };
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const auto store = SecretStore::file(folder);  // one store each: only the lock is shared
      for (int k = 0; k < 15; ++k) EXPECT_TRUE(store->save(key(t, k), std::to_string(k)));
    });
  }
  for (auto& thread : threads) thread.join();
  const auto store = SecretStore::file(folder);
  for (int t = 0; t < 6; ++t) {
    for (int k = 0; k < 15; ++k) EXPECT_EQ(store->load(key(t, k)), std::to_string(k));
  }
}

TEST(SecretStoreSystem, FollowsTheForcedChoiceAndNeverFallsBackSilently) {
  testing::TempHome home;
  const testing::ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", "");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");  // so no Secret Service can answer
  const testing::ScopedEnvironment choice("VORELIA_SECRET_STORE", "file");
  EXPECT_TRUE(SecretStore::system()->save("k", "v"));
  EXPECT_EQ(SecretStore::file(home.path() / "Library" / "Keychains")->load("k"), "v");

  for (const char* choice : {"libsecret", "keychain"}) {
    setenv("VORELIA_SECRET_STORE", choice, 1);
    const auto store = SecretStore::system();
    ASSERT_NE(store, nullptr) << choice;
    EXPECT_FALSE(store->save("other", "v")) << choice;
    EXPECT_EQ(store->load("k"), std::nullopt) << choice;
    EXPECT_FALSE(store->remove("k")) << choice;
  }
  EXPECT_EQ(SecretStore::file(home.path() / "Library" / "Keychains")->load("other"), std::nullopt);
  EXPECT_EQ(SecretStore::libsecret(), nullptr);
}

// The Secret Service store against a real gnome-keyring on a private session bus that the tests
// start and stop themselves, so they run the same on a desktop, a headless machine and CI.
class LibsecretStore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keyring_ = std::make_unique<testing::PrivateKeyring>();
    problem_ = keyring_->start();
  }
  static void TearDownTestSuite() { keyring_.reset(); }

  void SetUp() override {
    ASSERT_EQ(problem_, "");
    // The keyring answers once it has opened its login collection and taken its name on the bus.
    ASSERT_TRUE(testing::waitUntil([&] { return (store_ = SecretStore::libsecret()) != nullptr; },
                                   std::chrono::seconds(30)))
        << keyring_->log();
  }

  static inline std::unique_ptr<testing::PrivateKeyring> keyring_;
  static inline std::string problem_;
  std::shared_ptr<SecretStore> store_;
};

TEST_F(LibsecretStore, RoundTripsEveryByteReplacesAndRemoves) {
  expectRoundTrips([] { return SecretStore::libsecret(); });
  EXPECT_FALSE(store_->save(std::string("nul\0key", 7), "v"));  // D-Bus strings hold no NUL
}

TEST_F(LibsecretStore, OtherSecretServiceClientsFindTheItem) {
  ASSERT_TRUE(store_->save("user@example.com", "s3cret &=+ %"));
  const fs::path output = keyring_->folder() / "lookup";
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exec secret-tool lookup \"$@\" > \"$0\"", output.string(),
                                   "xdg:schema", "com.vorelia.VoreliaC1Plugin.secret", "account",
                                   "user@example.com"}),
            0)
      << keyring_->log();
  std::string found;
  std::getline(std::ifstream(output), found);
  EXPECT_EQ(found, "s3cret &=+ %");
}

}  // namespace
}  // namespace vorelia::platform
