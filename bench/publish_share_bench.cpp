// Publishing a gallery through PublishShare against the sandbox's own blob storage on loopback
// (encoding delay 0), beside two curl sides against the same sandbox, four files at a time: the
// same files uploaded alone (Put Blob only), and the requests the protocol needs per file (Put
// Blob, then its encoding request, over one connection pool). The whole publication (album,
// reservation, uploads, encoding requests, share link, encoding wait, reorder) is timed against
// each.
//
// Each round starts a fresh sandbox (its blobs live in a temporary folder) and runs the three
// sides, the first side turning from round to round. Counters: the medians publish_s, curl_s and
// protocol_s (with their _min_s and _max_s), ratio = publish_s / curl_s (bare uploads),
// protocol_ratio = publish_s / protocol_s, the blob requests per file (from the sandbox's request
// log) and peak_rss_MiB, the largest peak resident memory (VmHWM) of the publishing process over
// the rounds. The request log's times split the publication: head_s (up to the first Put Blob),
// uploads_s (up to the answer to the last encoding request), tail_s (the rest), and
// uploads_protocol_ratio = uploads_s / protocol_s, the per-file phase against the protocol side;
// publish_cpu_s and protocol_cpu_s, the processor time each of the two used.
#include "support/sandbox_process.h"
#include "support/side_by_side.h"

namespace vorelia::bench {
namespace {

void BM_PublishVersusCurl(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto gallery = makeGallery(count, static_cast<std::uint64_t>(state.range(1)) * 1024);
  const WorkFolder work;
  PublishVersusCurl sides;
  for (auto _ : state) {
    const bool done = forEachRound(state, [&](int round) {
      testing::SandboxProcess sandbox(testing::withArguments(
          {"--encoding-delay-ms", "0", "--request-log", std::to_string(4 * count + 100)}));
      return sides.round(round, sandbox, sandbox.baseUrl(), *gallery, work);
    });
    if (!done) return;
    state.SetIterationTime(sides.publish.median());
  }
  sides.report(state);
}
// Goals: protocol_ratio at most 1.05; peak memory under 40 MiB, flat in file size and count
// (10,000 files within 4 MiB of 1,000).
BENCHMARK(BM_PublishVersusCurl)
    ->Args({16, 64 * 1024})
    ->Args({1000, 64})
    ->Args({10000, 16})
    ->Args({100000, 4})
    ->ArgNames({"files", "KiB"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vorelia::bench

int main(int argc, char** argv) { return vorelia::bench::benchMain(argc, argv); }
