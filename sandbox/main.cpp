// vorelia-sandbox: runs the sandbox server until SIGINT, SIGTERM or POST /admin/shutdown.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "sandbox/options.h"
#include "sandbox/server.h"

int main(int argc, char** argv) {
  using namespace vorelia::sandbox;
  const auto line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!line.ok()) {
    std::cerr << "vorelia-sandbox: " << line.failure().message << "\nTry --help.\n";
    return 2;
  }
  if (line.value().help) {
    std::cout << helpText();
    return 0;
  }

  // The stop signals are blocked in every thread (threads inherit the mask) and taken here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ServerOptions options = line.value().server;
  options.onShutdownRequested = [] { ::kill(::getpid(), SIGTERM); };
  Server server(std::move(options));
  if (const auto failure = server.start()) {
    std::cerr << "vorelia-sandbox: " << *failure << "\n";
    return 1;
  }
  // What a shell evaluates to point every address of the plugin here, so that nothing a demo
  // does reaches the real service.
  std::cout << "listening on " << server.url() << "\n"
            << "export VORELIA_API_URL='" << server.url() << "/'\n"
            << "export VORELIA_WEB_URL='" << server.webUrl() << "'\n"
            << "export VORELIA_UPDATE_URL='" << server.url() << "/libraries/captureone/'\n"
            << "export VORELIA_QUEUE_URL='" << server.queueUrl() << "'" << std::endl;
  std::cerr << "vorelia-sandbox: serving; share links start with " << server.webUrl()
            << "; see --help for the admin interface\n";

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  server.stop();
  std::cerr << "vorelia-sandbox: stopped\n";
  return 0;
}
