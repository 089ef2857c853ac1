// The fixture of the Api's tests: a service and stores on one loopback server, a cached login.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "api/api.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace vorelia::testing_api {

using std::chrono::seconds;
using testing::HttpTestServer;
using testing::RecordedRequest;
using testing::TestReply;

// Starts an asynchronous call and waits (bounded) for its one completion.
template <typename Result, typename Start>
Result Await(Start&& start) {
  platform::DispatchSemaphore done(0);
  Result result{};
  start([&](Result value) {
    result = std::move(value);
    done.signal();
  });
  EXPECT_TRUE(done.waitFor(seconds(20))) << "no completion";
  return result;
}

// A completion of any shape that only calls done.
struct Signal {
  std::function<void()> done;
  void operator()(auto&&...) const { done(); }
};

// The account "studio" with a cached header, the service and the stores on one loopback server,
// and a file to upload.
class ApiTest : public ::testing::Test {
 protected:
  ApiTest() {
    server.reply("/*", TestReply{200, {}, R"({"ok":true})"});
    state->account.set("studio");
    // Characters a form must encode, and some it must keep.
    state->userName.set("ann+1@example.com");
    state->password.set("p&ss=w+rd é100%~*-._");
    state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
    state->createAccount.set("new-studio");
    state->createUserName.set("bob@example.com");
    state->createPassword.set("pw & more");
    std::ofstream(file, std::ios::binary) << "jpeg bytes \x01\x02\x03";
  }

  UploadInfo info(const std::string& id) const {
    UploadInfo upload;
    upload.FilePath = file.string();
    upload.FileSize = 14;
    upload.ItemName = "My___photo.jpg";
    upload.ContainerId = "c1";
    upload.UploadResource = JSON{{"id", id}, {"sas", "?sv=1&sig=s3cret"}, {"extra", 5}};
    return upload;
  }
  std::string storage() const { return server.url("/store/"); }

  testing::TempHome home;
  HttpTestServer server;
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/"), server.url("/lib/"), server.url("/queue?sig=s"), server.url("")});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(2), seconds(0)});
  std::filesystem::path file = home.path() / "a.jpg";
  const JSON payload{{"name", "My photo.jpg"}, {"Tags", true}};
};

}  // namespace vorelia::testing_api
