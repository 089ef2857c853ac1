// Throughput of file uploads and downloads through a URLSession to the loopback test server, with
// the process's peak resident memory: both stay far below the 64 MiB body because bodies stream
// to and from disk instead of memory. The server runs in the same process, so the figure covers
// both ends.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <filesystem>

#include "platform/dispatch.h"
#include "platform/url_session.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia {
namespace {

using platform::DispatchSemaphore;
using platform::URLError;
using platform::URLRequest;
using platform::URLResponse;
using platform::URLSession;
using testing::HttpTestServer;

constexpr std::uint64_t kBodySize = 64u << 20;

// The upload body, written once per run and removed at exit.
class UploadFile {
 public:
  UploadFile() { testing::writeGeneratedFile(path_, kBodySize); }
  ~UploadFile() { std::filesystem::remove_all(folder_); }
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  const std::filesystem::path folder_ = testing::makeTempDirectory("vorelia-bench");
  const std::filesystem::path path_ = folder_ / "upload.bin";
};

const std::filesystem::path& uploadFile() {
  static const UploadFile file;
  return file.path();
}

void reportPeakMemory(benchmark::State& state) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

HttpTestServer::Options quietServer() {
  HttpTestServer::Options options;
  options.maxKeptBody = 0;
  options.digestBodies = false;
  return options;
}

void BM_UploadFile(benchmark::State& state) {
  const auto& file = uploadFile();
  HttpTestServer server(quietServer());
  server.reply("/blob", {.status = 201});
  URLSession session;
  URLRequest request;
  request.url = server.url("/blob");
  request.method = "PUT";
  for (auto _ : state) {
    DispatchSemaphore done;
    bool ok = false;
    session.uploadTask(request, file,
                       [&](std::optional<std::string> data, std::optional<URLResponse> response,
                           std::optional<URLError>) {
                         ok = data && response && response->statusCode == 201;
                         done.signal();
                       });
    done.wait();
    if (!ok) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  reportPeakMemory(state);
}
BENCHMARK(BM_UploadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_DownloadFile(benchmark::State& state) {
  HttpTestServer server(quietServer());
  server.reply("/blob", {.generatedBodySize = kBodySize});
  URLSession session;
  URLRequest request;
  request.url = server.url("/blob");
  for (auto _ : state) {
    DispatchSemaphore done;
    bool ok = false;
    session.downloadTask(request, [&](std::optional<std::filesystem::path> location,
                                      std::optional<URLResponse>, std::optional<URLError>) {
      ok = location && std::filesystem::file_size(*location) == kBodySize;
      done.signal();
    });
    done.wait();
    if (!ok) {
      state.SkipWithError("download failed");
      break;
    }
  }
  reportPeakMemory(state);
}
BENCHMARK(BM_DownloadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
}  // namespace vorelia
