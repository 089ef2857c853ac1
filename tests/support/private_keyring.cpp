#include "support/private_keyring.h"

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia::testing {

namespace fs = std::filesystem;

PrivateKeyring::PrivateKeyring() : folder_(makeTempDirectory("vorelia-keyring")) {}

PrivateKeyring::~PrivateKeyring() {
  if (busPid_ > 0) ::kill(busPid_, SIGTERM);
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::string PrivateKeyring::start() {
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
  const auto status = platform::runProcess("/bin/sh", {"-c", script, home});
  std::istringstream bus(readFile(folder_ / "bus"));
  std::string address;
  std::getline(bus, address);
  bus >> busPid_;
  if (status != 0 || address.empty()) {
    return "cannot start dbus-daemon and gnome-keyring-daemon (packages dbus-daemon, "
           "gnome-keyring); " +
           log();
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  return {};
}

std::string PrivateKeyring::log() const { return readFile(folder_ / "daemons.log"); }

}  // namespace vorelia::testing
