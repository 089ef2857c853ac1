// The fixture of the publishing workflows' tests: a temporary HOME with a scripts folder and a
// stand-in interpreter, and a loopback server for the service, the account "studio" signed in.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <mutex>

#include "model/guarded.h"
#include "model/plugin_error.h"
#include "publish/catalogue_scripts.h"
#include "publish/name_escaping.h"
#include "publish/publish_ai.h"
#include "publish/publish_share.h"
#include "publish/script_runner.h"
#include "support/http_test_server.h"
#include "support/jpeg_writer.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia::testing_publish {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::HttpTestServer;
using testing::namesIn;
using testing::readFile;
using testing::RecordedRequest;
using testing::ScopedEnvironment;
using testing::TestReply;

// A real grey JPEG of width x height.
inline std::string makeJpeg(int width, int height) {
  return testing::makeJpeg(width, height, [](int, int) { return testing::Rgb{128, 128, 128}; });
}

// A temporary HOME with a scripts folder and a stand-in interpreter (a shell script) that keeps a
// copy of every script it is given in `ran`, named after the script file; and a loopback server
// for the service, the account "studio" signed in.
class Publishing : public ::testing::Test {
 protected:
  Publishing() {
    fs::create_directories(folder);
    fs::create_directories(ran);
    fs::create_directories(exported);
    state->account.set("studio");
    state->setAuthentication("BEARER t", std::chrono::system_clock::now());
    useInterpreter("exit 0");
  }

  // body runs after the copy is made; $1 is the script file.
  void useInterpreter(const std::string& body) {
    const fs::path program = home.path() / "interpreter.sh";
    std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << ran.string()
                           << "/$(basename \"$1\")\" || exit 9\n"
                           << body << "\n";
    fs::permissions(program, fs::perms::owner_all);
    interpreter.emplace("VORELIA_OSASCRIPT", program.string());
  }

  // The texts of the scripts the interpreter was given, in the order of their names.
  std::vector<std::string> ranScripts() const {
    std::vector<std::string> texts;
    for (const auto& name : namesIn(ran)) texts.push_back(readFile(ran / name));
    return texts;
  }

  // Exported images of 300 x 260 pixels under the names; their paths, in order.
  std::vector<std::string> exportImages(const std::vector<std::string>& names) const {
    std::vector<std::string> paths;
    for (const auto& name : names) {
      std::ofstream(exported / name, std::ios::binary) << makeJpeg(300, 260);
      paths.push_back((exported / name).string());
    }
    return paths;
  }

  // Runs the task, keeping each progress report as "completed/total text".
  PublishResult run(PublishService&& workflow, const PublishTask& task) {
    return workflow.DoPublish(task, [this](std::uint64_t completed, std::uint64_t total,
                                           const std::optional<std::string>& text) {
      std::scoped_lock lock(progressMutex);
      reports.push_back(std::to_string(completed) + "/" + std::to_string(total) + " " +
                        text.value_or(""));
    });
  }

  testing::TempHome home;
  fs::path folder = home.path() / "Library" / "Scripts" / "Capture One Scripts";
  fs::path ran = home.path() / "ran";
  fs::path exported = home.path() / "export";
  std::optional<ScopedEnvironment> interpreter;
  // 7 March 2019, 14:05:09 in the local time zone.
  std::chrono::system_clock::time_point when = [] {
    std::tm local{};
    strptime("2019-03-07 14:05:09", "%Y-%m-%d %H:%M:%S", &local);
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
  }();
  // What the handlers read outlives the server, whose destructor ends their threads: how many
  // resources a reservation gets, the stored names the store refuses, the credits, and the
  // analyses (escaped name -> answer body).
  std::atomic<std::size_t> resourceLimit{1000};
  Guarded<std::string> refusedName{"(none)"};
  Guarded<std::string> credits{"1000"};
  Guarded<std::map<std::string, std::string>> analyses;
  HttpTestServer server;
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/"), "", "", "https://www.vorelia.test"});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  std::mutex progressMutex;
  std::vector<std::string> reports;  // guarded by progressMutex while a workflow runs
};

}  // namespace vorelia::testing_publish
