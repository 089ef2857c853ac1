// Publishing a gallery through PublishShare over an emulated wide-area link (40 ms round trip,
// 100 Mbit/s each way, see support/wan_link.h), beside the same files uploaded over the same link
// by curl with four transfers at a time. The plugin reaches both the API and the blob store
// through the link: the sandbox names the link as the address of its blob store (--public-url).
//
// Each round starts a fresh sandbox and link and runs both sides, the first side turning from
// round to round. Counters as in publish_share_bench, and bound_s, the time the files' bytes
// alone take at the link's bandwidth, with bound_ratio = publish_s / bound_s.
#include "support/sandbox_process.h"
#include "support/side_by_side.h"
#include "support/wan_link.h"

namespace vorelia::bench {
namespace {

constexpr LinkShape kLink{std::chrono::milliseconds(40), 100e6 / 8};

void BM_PublishVersusCurlOverWan(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto gallery = makeGallery(count, static_cast<std::uint64_t>(state.range(1)) * 1024);
  const WorkFolder work;
  PublishVersusCurl sides;
  for (auto _ : state) {
    const bool done = forEachRound(state, [&](int round) {
      WanLink link(kLink);
      testing::SandboxProcess sandbox(
          testing::withArguments({"--encoding-delay-ms", "0", "--public-url", link.url(),
                                  "--request-log", std::to_string(4 * count + 100)}));
      link.setUpstream(sandbox.port());
      return sides.round(round, sandbox, link.url() + "/", *gallery, work);
    });
    if (!done) return;
    state.SetIterationTime(sides.publish.median());
  }
  const double bound = static_cast<double>(gallery->totalBytes()) / kLink.bytesPerSecond;
  sides.report(state);
  state.counters["bound_s"] = bound;
  state.counters["bound_ratio"] = sides.publish.median() / bound;
}
// Goals: ratio at most 1.15; the large files within 1.2 of the bandwidth bound.
BENCHMARK(BM_PublishVersusCurlOverWan)
    ->Args({200, 2 * 1024})
    ->Args({1000, 64})
    ->ArgNames({"files", "KiB"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vorelia::bench

int main(int argc, char** argv) { return vorelia::bench::benchMain(argc, argv); }
