// Owning wrappers for libcurl handles, and the one-time global initialisation of libcurl.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace vorelia::platform::net {

// Initialises libcurl once per process, before the first handle is made. Thread-safe.
void ensureCurlInitialized();

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// A header list that appends in order and frees itself.
class CurlHeaderList {
 public:
  // Returns false when libcurl could not allocate the entry.
  bool append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_.get(), line.c_str());
    if (grown == nullptr) return false;
    list_.release();  // curl_slist_append returned the same list, now one longer
    list_.reset(grown);
    return true;
  }
  curl_slist* get() const { return list_.get(); }

 private:
  std::unique_ptr<curl_slist, CurlSlistDeleter> list_;
};

// Reads one part of a parsed URL; empty when the part is absent.
inline std::string urlPart(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return {};
  CurlString owned(raw);
  return owned ? std::string(owned.get()) : std::string();
}

}  // namespace vorelia::platform::net
