// Publishing a gallery through PublishShare into Azure Storage behaviour: the sandbox hands out
// signatures of Azurite (the Azure Storage emulator) and the plugin writes its blobs there, beside
// the same files uploaded to the same emulator by curl (four at a time, under signatures the
// sandbox reserved) and copied by rclone's Azure Blob backend ("rclone copy --transfers 4", under
// a container signature given in its environment).
//
// Each round starts a fresh Azurite and sandbox and runs the three sides, the first side turning
// from round to round. Every client reaches Azurite through the same pass-through link (no delay,
// no cap), which counts the requests: the plugin's blob writes per file, and every request rclone
// makes per file. Counters: publish_s, curl_s, rclone_s (medians, with _min_s and _max_s),
// ratio = publish/curl, rclone_ratio = rclone/publish, blob_requests_per_file,
// rclone_requests_per_file and peak_rss_MiB of the publishing process.
#include "support/azurite_process.h"
#include "support/sandbox_process.h"
#include "support/side_by_side.h"
#include "support/wan_link.h"

namespace vorelia::bench {
namespace {

int portOf(const std::string& url) {
  const auto colon = url.rfind(':');
  return std::atoi(url.c_str() + colon + 1);
}

void BM_AzuritePublishCurlRclone(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto gallery = makeGallery(count, static_cast<std::uint64_t>(state.range(1)) * 1024);
  const WorkFolder work;
  Samples publish, curl, rclone;
  double peakMiB = 0;
  double blobRequestsPerFile = 0, rcloneRequestsPerFile = 0;
  for (auto _ : state) {
    const bool done = forEachRound(state, [&](int round) {
      testing::AzuriteProcess azurite;
      WanLink link(LinkShape{});
      link.setUpstream(portOf(azurite.blobEndpoint()));
      const std::string account = "/" + azurite.accountName();
      testing::SandboxProcess sandbox(testing::withArguments(
          {"--encoding-delay-ms", "0", "--azurite-blob", link.url() + account}));
      const BenchAccount bench = seedBenchAccount(sandbox);
      const auto perFile = [&] {
        return static_cast<double>(link.countedRequests()) / static_cast<double>(count);
      };
      bool failed = false;
      runRound(round, {[&] {
                         link.countRequests("PUT", account + "/uploads/");
                         const PublishRun run =
                             publishInChild(sandbox.baseUrl(), bench.token, *gallery, work);
                         failed = failed || !run.ok;
                         publish.add(run.seconds);
                         peakMiB = std::max(peakMiB, run.peakMiB);
                         blobRequestsPerFile = perFile();
                       },
                       [&] {
                         const double seconds = uploadWithCurl(
                             reserveUploads(sandbox, bench, *gallery), *gallery, work);
                         failed = failed || seconds < 0;
                         curl.add(seconds);
                       },
                       [&] {
                         link.countRequests("", account + "/");
                         const std::string sasUrl =
                             link.url() + account + "/uploads?" +
                             testing::makeContainerSas(
                                 "uploads", "racwdl",
                                 std::chrono::system_clock::now() + std::chrono::hours(2));
                         const double seconds = copyWithRclone(sasUrl, "uploads/rclone", *gallery);
                         failed = failed || seconds < 0;
                         rclone.add(seconds);
                         rcloneRequestsPerFile = perFile();
                       }});
      return !failed;
    });
    if (!done) return;
    state.SetIterationTime(publish.median());
  }
  publish.report(state, "publish");
  curl.report(state, "curl");
  rclone.report(state, "rclone");
  state.counters["ratio"] = publish.median() / curl.median();
  state.counters["rclone_ratio"] = rclone.median() / publish.median();
  state.counters["blob_requests_per_file"] = blobRequestsPerFile;
  state.counters["rclone_requests_per_file"] = rcloneRequestsPerFile;
  state.counters["peak_rss_MiB"] = peakMiB;
}
// Goals: rclone_ratio at least 3 on the small files; peak memory at most 40 MiB.
BENCHMARK(BM_AzuritePublishCurlRclone)
    ->Args({16, 64 * 1024})
    ->Args({1000, 64})
    ->ArgNames({"files", "KiB"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vorelia::bench

int main(int argc, char** argv) { return vorelia::bench::benchMain(argc, argv); }
