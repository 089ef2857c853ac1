// The Secret Service store against a real gnome-keyring on a private session bus that the tests
// start and stop themselves, so they run the same on a desktop, a headless machine and CI.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/process.h"
#include "platform/secret_store.h"
#include "support/private_keyring.h"
#include "support/wait.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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
  const std::pair<std::string, std::string> entries[] = {
      {"a@b.example", "p@ssw0rd"},
      {"query-like &=+ %", "&=+ %/?#\"\\"},
      {"caf\xc3\xa9", "\xf0\x9f\x94\x91 s\xc3\xa9same"},
      {"with nul", std::string("a\0b\0", 4)},
      {"empty", ""},
  };
  for (const auto& [key, secret] : entries) EXPECT_TRUE(store_->save(key, secret)) << key;
  for (const auto& [key, secret] : entries) EXPECT_EQ(store_->load(key), secret) << key;

  EXPECT_TRUE(store_->save("a@b.example", "second"));
  EXPECT_EQ(store_->load("a@b.example"), "second");
  EXPECT_EQ(store_->load("never saved"), std::nullopt);
  EXPECT_TRUE(store_->remove("a@b.example"));
  EXPECT_EQ(store_->load("a@b.example"), std::nullopt);
  EXPECT_TRUE(store_->remove("a@b.example"));
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
  EXPECT_EQ(readFile(output), "s3cret &=+ %");
}

}  // namespace
}  // namespace vorelia::platform
