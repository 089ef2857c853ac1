#include "support/sandbox_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/child_process.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::testing {
namespace {

std::filesystem::path sandboxBinary() {
  if (const char* fromEnvironment = std::getenv("VORELIA_SANDBOX_BINARY")) return fromEnvironment;
#ifdef VORELIA_SANDBOX_BINARY
  return VORELIA_SANDBOX_BINARY;
#else
  throw std::runtime_error("the path of vorelia-sandbox is not known");
#endif
}

}  // namespace

SandboxProcess::SandboxProcess(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--port", "0"});
  // Standard output goes to a file that is read until its first whole line arrives.
  const std::filesystem::path folder = makeTempDirectory("vorelia-sandbox");
  const int output = ::open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  pid_ = spawnChild(sandboxBinary(), arguments, output, -1);
  ::close(output);
  std::string line;
  waitUntil(
      [&] {
        std::ifstream in(folder / "out");
        if (std::getline(in, line) && !in.eof()) return true;
        line.clear();
        return (exitStatus_ = exitedChild(pid_)).has_value();
      },
      std::chrono::seconds(30));
  std::filesystem::remove_all(folder);
  constexpr std::string_view kPrefix = "listening on ";
  const auto colon = line.rfind(':');
  if (!line.starts_with(kPrefix) || colon == std::string::npos) {
    stop();
    throw std::runtime_error("vorelia-sandbox did not announce its port; it printed: " + line);
  }
  url_ = line.substr(kPrefix.size());
  port_ = std::stoi(line.substr(colon + 1));
}

SandboxProcess::~SandboxProcess() { stop(); }

int SandboxProcess::stop() {
  if (!exitStatus_) {
    ::kill(pid_, SIGTERM);
    exitStatus_ = reapChild(pid_, std::chrono::seconds(20));
  }
  return *exitStatus_;
}

SandboxProcess::Answer SandboxProcess::admin(const std::string& method, const std::string& path,
                                             const nlohmann::json& body) const {
  httplib::Client client(url_);
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(60));
  const std::string text = body.is_null() ? std::string() : body.dump();
  const auto send = [&]() -> httplib::Result {
    if (method == "GET") return client.Get(path);
    if (method == "POST") return client.Post(path, text, "application/json");
    if (method == "DELETE") return client.Delete(path, text, "application/json");
    throw std::invalid_argument("admin: unsupported method " + method);
  };
  const httplib::Result result = send();
  if (!result) return Answer{};
  return Answer{result->status, nlohmann::json::parse(result->body, nullptr, false)};
}

SandboxProcess::Answer SandboxProcess::checked(const std::string& method, const std::string& path,
                                               const nlohmann::json& body) const {
  Answer answer = admin(method, path, body);
  if (answer.status != 200) {
    ADD_FAILURE() << "vorelia-sandbox refused " << method << " " << path << ": status "
                  << answer.status << " " << answer.body.dump();
  }
  return answer;
}

void SandboxProcess::seedUser(const std::string& email, const std::string& password,
                              const std::vector<std::string>& accounts) const {
  checked("POST", "/admin/users",
          {{"email", email}, {"password", password}, {"accounts", accounts}});
}

nlohmann::json SandboxProcess::seedAlbum(const nlohmann::json& album) const {
  return checked("POST", "/admin/albums", album).body;
}

std::string SandboxProcess::token(const std::string& email) const {
  return checked("POST", "/admin/tokens", {{"email", email}}).body.value("access_token", "");
}

int SandboxProcess::setFault(const nlohmann::json& fault) const {
  return checked("POST", "/admin/faults", fault).body.value("id", 0);
}

nlohmann::json SandboxProcess::requests() const {
  const Answer answer = checked("GET", "/admin/requests", nullptr);
  return answer.body.is_object() ? answer.body.value("requests", nlohmann::json::array())
                                 : nlohmann::json::array();
}

void SandboxProcess::clearRequests() const { checked("DELETE", "/admin/requests", nullptr); }

}  // namespace vorelia::testing
