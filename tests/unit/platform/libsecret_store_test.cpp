// The Secret Service store against a real gnome-keyring on a private session bus that the tests
// start and stop themselves, so they run the same on a desktop, a headless machine and CI.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

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

// Starts command (found on PATH) with environment, stdin from the pipe end stdinFd, stdout into
// output and stderr appended to log. Returns its pid, or -1.
pid_t spawn(const std::vector<std::string>& command, const std::vector<std::string>& environment,
            int stdinFd, const fs::path& output, const fs::path& log) {
  std::vector<char*> argv, envp;
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// gnome-keyring with a new login keyring on a bus of its own (no service activation, so nothing but
// this keyring can answer), set as this process's session bus. GLib keeps the first session bus it
// connects to for the life of the process, so one serves every test of a process.
class PrivateKeyring {
 public:
  ~PrivateKeyring() {
    for (const pid_t pid : {keyring_, bus_}) {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
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
    const UniquePipe none;
    bus_ = spawn(
        {"dbus-daemon", "--config-file=" + home + "/bus.conf", "--nofork", "--print-address=1"},
        {"PATH=/usr/bin:/bin"}, none.ends[0], folder_ / "address", logFile());
    if (bus_ < 0) return "cannot start dbus-daemon (package dbus-daemon)";
    std::string address;
    testing::waitUntil([&] { return (address = readFile(folder_ / "address")).ends_with('\n'); });
    if (address.empty()) return "dbus-daemon gave no address; " + log();
    address.pop_back();
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousBus_ = previous;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    // --unlock reads the password of the login keyring, which it creates, from stdin.
    UniquePipe password;
    keyring_ = spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                     {"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                      "XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home + "/run",
                      "DBUS_SESSION_BUS_ADDRESS=" + address},
                     password.ends[0], "/dev/null", logFile());
    if (keyring_ < 0) return "cannot start gnome-keyring-daemon (package gnome-keyring)";
    const std::string random = std::to_string(std::random_device{}()) + "-keyring";
    if (::write(password.ends[1], random.data(), random.size()) !=
        static_cast<ssize_t>(random.size())) {
      return "gnome-keyring-daemon took no password; " + log();
    }
    return {};
  }

  fs::path logFile() const { return folder_ / "daemons.log"; }
  std::string log() const { return readFile(logFile()); }
  const fs::path& folder() const { return folder_; }

 private:
  struct UniquePipe {
    UniquePipe() {
      if (::pipe2(ends, O_CLOEXEC) != 0) ends[0] = ends[1] = -1;
    }
    ~UniquePipe() {
      for (const int end : ends) ::close(end);
    }
    int ends[2];  // read, write
  };

  const fs::path folder_ = testing::makeTempDirectory("vorelia-keyring");
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
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
