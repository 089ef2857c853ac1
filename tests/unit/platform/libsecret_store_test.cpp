// The Secret Service store against a real gnome-keyring on a private session bus that the tests
// start and stop themselves, so they run the same on a desktop, a headless machine and CI.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/process.h"
#include "platform/secret_store.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// gnome-keyring with a new login keyring on a bus of its own (no service activation, so nothing but
// this keyring can answer), set as this process's session bus. GLib keeps the first session bus it
// connects to for the life of the process, so one serves every test of a process. Both daemons
// detach; the keyring ends when its bus does.
class PrivateKeyring {
 public:
  ~PrivateKeyring() {
    if (busPid_ > 0) ::kill(busPid_, SIGTERM);
    if (previousBus_) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", previousBus_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // Empty when both daemons started, else what went wrong.
  std::string start() {
    const std::string home = folder_.string();
    for (const char* folder : {"run", "data", "config"}) fs::create_directory(folder_ / folder);
    fs::permissions(folder_ / "run", fs::perms::owner_all);
    std::ofstream(folder_ / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:dir=" << home << "/run</listen>"
        << "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
        << "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n";
    // The bus prints its address and pid; --unlock makes the keyring create its login keyring
    // with the (random) password it reads from stdin.
    const std::string script =
        "exec 2>> \"$0/daemons.log\"; dbus-daemon --config-file=\"$0/bus.conf\" --fork "
        "--print-address=1 --print-pid=1 > \"$0/bus\" || exit 1; "
        "head -c 24 /dev/urandom | base64 | env -i PATH=/usr/bin:/bin HOME=\"$0\" "
        "XDG_DATA_HOME=\"$0/data\" XDG_CONFIG_HOME=\"$0/config\" XDG_RUNTIME_DIR=\"$0/run\" "
        "DBUS_SESSION_BUS_ADDRESS=\"$(head -n 1 \"$0/bus\")\" "
        "gnome-keyring-daemon --daemonize --unlock --components=secrets > /dev/null";
    const auto status = runProcess("/bin/sh", {"-c", script, home});
    std::istringstream bus(readFile(folder_ / "bus"));
    std::string address;
    std::getline(bus, address);
    bus >> busPid_;
    if (status != 0 || address.empty()) {
      return "cannot start dbus-daemon and gnome-keyring-daemon (packages dbus-daemon, "
             "gnome-keyring); " +
             log();
    }
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousBus_ = previous;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return {};
  }

  std::string log() const { return readFile(folder_ / "daemons.log"); }
  const fs::path& folder() const { return folder_; }

 private:
  const fs::path folder_ = testing::makeTempDirectory("vorelia-keyring");
  pid_t busPid_ = -1;
  std::optional<std::string> previousBus_;
};

class LibsecretStore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keyring_ = std::make_unique<PrivateKeyring>();
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

  static inline std::unique_ptr<PrivateKeyring> keyring_;
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
