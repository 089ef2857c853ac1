// The built vorelia-sandbox, run as a child process for one test or fixture: started on an
// ephemeral loopback port, reached through its admin interface, stopped by the destructor. Not
// thread-safe as an object, except the admin calls, which may run on any thread (each opens
// its own connection).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vorelia::testing {

// The flags after "--port 0": SandboxProcess sandbox(withArguments({"--seed-demo"})).
inline std::vector<std::string> withArguments(std::vector<std::string> arguments) {
  return arguments;
}

class SandboxProcess {
 public:
  // Starts the built sandbox ($VORELIA_SANDBOX_BINARY overrides it) and waits for its "listening
  // on" line. Throws std::runtime_error when it cannot start, ends early or does not announce its
  // port in time.
  explicit SandboxProcess(std::vector<std::string> arguments = {});
  ~SandboxProcess();  // stop()
  SandboxProcess(const SandboxProcess&) = delete;
  SandboxProcess& operator=(const SandboxProcess&) = delete;

  int port() const { return port_; }
  // The API root the plugin uses: "http://127.0.0.1:PORT/" (with the trailing slash).
  std::string baseUrl() const { return url_ + "/"; }

  // One admin call: method and path ("/admin/..."), an optional JSON body. status is 0 when the
  // sandbox could not be reached; body is null when the answer is not JSON.
  struct Answer {
    int status = 0;
    nlohmann::json body;
  };
  Answer admin(const std::string& method, const std::string& path,
               const nlohmann::json& body = nullptr) const;

  // Shortcuts over admin(). Each fails the running test (ADD_FAILURE) when the sandbox refuses.
  void seedUser(const std::string& email, const std::string& password,
                const std::vector<std::string>& accounts) const;
  nlohmann::json seedAlbum(const nlohmann::json& album) const;  // the album, expanded
  std::string token(const std::string& email) const;            // a fresh bearer token
  int setFault(const nlohmann::json& fault) const;              // the fault's id
  nlohmann::json requests() const;  // the recorded requests, oldest first (a JSON array)
  void clearRequests() const;

  // SIGTERM, a bounded wait for the exit, then SIGKILL. Returns the exit status (0 for a clean
  // stop), or -1 when the sandbox had to be killed or died of a signal. Later calls return the
  // first result.
  int stop();

 private:
  Answer checked(const std::string& method, const std::string& path,
                 const nlohmann::json& body) const;

  pid_t pid_ = -1;
  int port_ = 0;
  std::string url_;  // "http://127.0.0.1:PORT"
  std::optional<int> exitStatus_;
};

}  // namespace vorelia::testing
