#include "platform/secret_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>
#include <vector>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(FileSecretStore, KeepsItsFolderAndFilePrivateWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
    testing::TempHome home;
    const auto folder = home.path() / "Keychains";
    if (mask == 0) {  // a folder of ours that was left open is closed
      fs::create_directory(folder);
      fs::permissions(folder, fs::perms::all);
    }
    const mode_t previous = ::umask(mask);
    EXPECT_TRUE(SecretStore::file(folder)->save("k", "v"));
    ::umask(previous);
    EXPECT_EQ(modeOf(folder), 0700u) << "umask " << mask;
    EXPECT_EQ(modeOf(folder / "vorelia-secrets.json"), 0600u) << "umask " << mask;
  }
}

TEST(FileSecretStore, RoundTripsEveryByteReplacesAndRemoves) {
  testing::TempHome home;
  const auto folder = home.path() / "Keychains";
  const std::pair<std::string, std::string> entries[] = {
      {"empty", ""},
      {"query-like &=+ %", "&=+ %/?#\"\\"},
      {"caf\xc3\xa9 \xe2\x9c\x93", "\xf0\x9f\x94\x91 s\xc3\xa9same"},
      {"binary", std::string("\xff\xfe\x00\x80 \n\r\t", 9)},
      {"long", std::string(100000, 'z')},
  };
  for (const auto& [key, secret] : entries) {
    EXPECT_TRUE(SecretStore::file(folder)->save(key, secret));
  }
  const auto store = SecretStore::file(folder);  // a fresh store reads what the others wrote
  for (const auto& [key, secret] : entries) EXPECT_EQ(store->load(key), secret) << key;

  EXPECT_TRUE(store->save("empty", "second"));
  EXPECT_EQ(store->load("empty"), "second");
  EXPECT_EQ(store->load("never saved"), std::nullopt);
  EXPECT_TRUE(store->remove("empty"));
  EXPECT_EQ(store->load("empty"), std::nullopt);
  EXPECT_TRUE(store->remove("empty"));
  EXPECT_EQ(store->load("long"), std::string(100000, 'z'));
}

TEST(FileSecretStore, UnreadableFileIsSetAsideOnTheNextChange) {
  testing::TempHome home;
  const auto folder = home.path() / "Keychains";
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

}  // namespace
}  // namespace vorelia::platform
