// A throw-away certificate authority and a server certificate it signed, made once per test process
// in a temporary folder (removed at exit). The server certificate names localhost, 127.0.0.1 and
// ::1, so TLS clients verify it normally once they trust caFile.
#pragma once

#include <filesystem>

namespace vorelia::testing {

struct TestCertificates {
  std::filesystem::path folder;
  std::filesystem::path caFile;    // PEM certificate of the CA
  std::filesystem::path certFile;  // PEM certificate of the server
  std::filesystem::path keyFile;   // PEM private key of the server (unencrypted)
};

// Made on the first call (by the openssl command); thread-safe. Throws std::runtime_error when
// openssl fails.
const TestCertificates& testCertificates();

}  // namespace vorelia::testing
