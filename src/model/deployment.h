// Where the service lives: the API root, the folder of published plugin packages, the usage
// queue (with its add-only signature) and the public web site. Compiled in at build time; each can
// be overridden for one run by the environment variables VORELIA_API_URL, VORELIA_UPDATE_URL,
// VORELIA_QUEUE_URL and VORELIA_WEB_URL.
#pragma once

#include <string>

namespace vorelia {

struct Deployment {
  std::string apiUrl;     // ends with "/"
  std::string updateUrl;  // ends with "/"
  std::string queueUrl;   // carries a signature: never log it
  std::string webUrl;     // no trailing "/"

  // The compiled-in values with the environment's overrides applied.
  static Deployment FromEnvironment();
};

}  // namespace vorelia
