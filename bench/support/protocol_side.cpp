#include "support/protocol_side.h"

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

namespace vorelia::bench {
namespace {

constexpr int kLanes = 4;  // files at a time, as the plugin's uploads

struct Headers {
  curl_slist* list = nullptr;
  void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
  ~Headers() { curl_slist_free_all(list); }
};

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// One file at a time on one easy handle: its Put Blob, then its encoding request.
struct Lane {
  CURL* easy = curl_easy_init();
  std::FILE* file = nullptr;
  std::string body;
  std::size_t index = 0;
  bool encoding = false;
  ~Lane() {
    if (file != nullptr) std::fclose(file);
    curl_easy_cleanup(easy);
  }
};

}  // namespace

double publishRequestsWithCurl(const std::string& apiRoot, const BenchAccount& account,
                               const nlohmann::json& reservation, const Gallery& gallery) {
  if (reservation.is_null()) return -1;
  const std::string storageUrl = reservation["storageUrl"].get<std::string>();
  const std::string encodeUrl = apiRoot + "api/" + kBenchAccount + "/encode";
  Headers blobHeaders;
  blobHeaders.add("x-ms-blob-type: BlockBlob");
  blobHeaders.add("Expect:");
  Headers encodeHeaders;
  encodeHeaders.add("Authorization: Bearer " + account.token);
  encodeHeaders.add("Content-Type:");
  encodeHeaders.add("Expect:");

  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              &curl_multi_cleanup);
  std::array<Lane, kLanes> lanes;
  std::size_t next = 0;
  std::size_t done = 0;
  bool failed = false;
  const auto startBlob = [&](Lane& lane) {
    if (next >= gallery.files.size()) return false;
    lane.index = next++;
    lane.encoding = false;
    const auto& resource = reservation["value"][lane.index];
    const std::string url = storageUrl + resource["id"].get<std::string>() + "-o/" +
                            resource["name"].get<std::string>() +
                            resource["sas"].get<std::string>();
    lane.file = std::fopen(gallery.files[lane.index].c_str(), "rb");
    if (lane.file == nullptr) return false;
    curl_easy_reset(lane.easy);
    curl_easy_setopt(lane.easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(lane.easy, CURLOPT_UPLOAD, 1L);
    // Buffers as large as the plugin's session uses: the yardstick is not held back by copies.
    curl_easy_setopt(lane.easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(lane.easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(lane.easy, CURLOPT_READDATA, lane.file);
    curl_easy_setopt(lane.easy, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(gallery.fileSize));
    curl_easy_setopt(lane.easy, CURLOPT_HTTPHEADER, blobHeaders.list);
    curl_easy_setopt(lane.easy, CURLOPT_WRITEFUNCTION, discard);
    curl_multi_add_handle(multi.get(), lane.easy);
    return true;
  };
  const auto startEncoding = [&](Lane& lane) {
    lane.encoding = true;
    lane.body = reservation["value"][lane.index].dump();
    curl_easy_reset(lane.easy);
    curl_easy_setopt(lane.easy, CURLOPT_URL, encodeUrl.c_str());
    curl_easy_setopt(lane.easy, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(lane.easy, CURLOPT_POSTFIELDS, lane.body.c_str());
    curl_easy_setopt(lane.easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(lane.body.size()));
    curl_easy_setopt(lane.easy, CURLOPT_HTTPHEADER, encodeHeaders.list);
    curl_easy_setopt(lane.easy, CURLOPT_WRITEFUNCTION, discard);
    curl_multi_add_handle(multi.get(), lane.easy);
  };

  const auto start = std::chrono::steady_clock::now();
  for (Lane& lane : lanes) startBlob(lane);
  int running = 1;
  while (running > 0 && !failed) {
    curl_multi_perform(multi.get(), &running);
    bool added = false;  // a new request waits for no socket: perform again at once
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Lane* lane = nullptr;
      for (Lane& candidate : lanes) {
        if (candidate.easy == message->easy_handle) lane = &candidate;
      }
      long status = 0;
      curl_easy_getinfo(lane->easy, CURLINFO_RESPONSE_CODE, &status);
      const bool ok = message->data.result == CURLE_OK && status == (lane->encoding ? 200 : 201);
      curl_multi_remove_handle(multi.get(), lane->easy);
      if (!ok) {
        std::cerr << "curl request failed: " << (lane->encoding ? "encoding" : "blob")
                  << " of file " << lane->index << ", status " << status << "\n";
        failed = true;
        break;
      }
      if (!lane->encoding) {
        std::fclose(lane->file);
        lane->file = nullptr;
        startEncoding(*lane);
        added = true;
      } else {
        ++done;
        added = startBlob(*lane) || added;
      }
    }
    if (added) {
      running = 1;
    } else if (running > 0) {
      curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (Lane& lane : lanes) curl_multi_remove_handle(multi.get(), lane.easy);
  if (failed || done != gallery.files.size()) return -1;
  return seconds;
}

}  // namespace vorelia::bench
