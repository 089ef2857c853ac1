#include "support/test_certificates.h"

#include <stdexcept>
#include <system_error>

#include "platform/process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

class Holder {
 public:
  Holder() {
    paths_.folder = makeTempDirectory("vorelia-test-ca");
    paths_.caFile = paths_.folder / "ca.pem";
    paths_.certFile = paths_.folder / "server.pem";
    paths_.keyFile = paths_.folder / "server-key.pem";
    // P-256 keys; both certificates valid for a week.
    const std::string script =
        "cd \"$0\" && exec 2> openssl.log && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 7 "
        "-subj '/O=Vorelia tests/CN=Vorelia test CA' -keyout ca-key.pem -out ca.pem && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 7 "
        "-subj '/O=Vorelia tests/CN=localhost' -CA ca.pem -CAkey ca-key.pem "
        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 "
        "-addext basicConstraints=critical,CA:FALSE -addext extendedKeyUsage=serverAuth "
        "-keyout server-key.pem -out server.pem";
    if (platform::runProcess("/bin/sh", {"-c", script, paths_.folder.string()}) != 0) {
      throw std::runtime_error("test certificates: openssl failed, see " +
                               (paths_.folder / "openssl.log").string());
    }
  }
  ~Holder() {
    std::error_code ignored;
    std::filesystem::remove_all(paths_.folder, ignored);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  const TestCertificates& paths() const { return paths_; }

 private:
  TestCertificates paths_;
};

}  // namespace

const TestCertificates& testCertificates() {
  static const Holder holder;
  return holder.paths();
}

}  // namespace vorelia::testing
