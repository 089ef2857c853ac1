// What the publishing benchmarks share: a gallery of generated files, the plugin's publishing side
// run in a fresh process of the benchmark program (so that its peak memory is its own), the same
// files uploaded by the curl command-line tool or copied by rclone, and the rounds that put the
// sides next to each other.
//
//   int main(int argc, char** argv) { return vorelia::bench::benchMain(argc, argv); }
//
// Secrets (the bearer token, signed URLs, the rclone SAS URL) reach the child processes through
// their environment or a 0600 file, never their command lines.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vorelia::testing {
class SandboxProcess;
}

namespace vorelia::bench {

// A folder of count generated files of size bytes each (photo_00000.jpg, ...), and nothing else:
// rclone copies the folder whole. Removed with the object.
struct Gallery {
  std::filesystem::path folder;
  std::vector<std::string> files;
  std::uint64_t fileSize = 0;
  std::uint64_t totalBytes() const { return fileSize * files.size(); }
  ~Gallery();
};
std::unique_ptr<Gallery> makeGallery(std::size_t count, std::uint64_t size);

// A scratch folder for lists, outputs and configurations, removed with the object.
struct WorkFolder {
  WorkFolder();
  ~WorkFolder();
  std::filesystem::path path;
};

// The user, account and album every side publishes into, in a fresh sandbox.
struct BenchAccount {
  std::string token;
  std::string albumId;
};
BenchAccount seedBenchAccount(const testing::SandboxProcess& sandbox);
inline constexpr const char* kBenchAccount = "bench";

struct PublishRun {
  double seconds = 0;
  double peakMiB = 0;
  bool ok = false;
  // DoPublish's start and end on the host's monotonic clock, the clock of the sandbox's request
  // log.
  double started = 0;
  double ended = 0;
  double cpuSeconds = 0;  // the publishing process's processor time, user and system
};
// Publishes the gallery through PublishShare against the API root, as the signed-in bench user,
// in a fresh process of this program. ok is false (and the reason on standard error) when the
// publication failed or a file was not uploaded.
PublishRun publishInChild(const std::string& apiRoot, const std::string& token,
                          const Gallery& gallery, const WorkFolder& work);

// The blob writes (PUT /blob/...) in requests, the sandbox's request log.
std::size_t blobWrites(const nlohmann::json& requests);

// How a publication's time splits, placed by the sandbox's request log: head, from its start to
// the arrival of the first Put Blob (album list, album, reservation); uploads, from there to the
// answer to the last encoding request (the phase the protocol side times); tail, from there to
// its end (share link, encoding wait, reorder). All zero when the log holds no Put Blob (the blobs
// went elsewhere) or no encoding request.
struct PublishPhases {
  double head = 0;
  double uploads = 0;
  double tail = 0;
};
PublishPhases phasesOf(const PublishRun& run, const nlohmann::json& requests);

// Reserves one upload resource per file of the gallery in the album, as the plugin does (not
// timed): the reservation answer, or null.
nlohmann::json reserveUploads(const testing::SandboxProcess& sandbox, const BenchAccount& account,
                              const Gallery& gallery);
// Uploads the gallery to the reserved resources with curl, four at a time (--parallel
// --parallel-max 4), as Put Blob requests like the plugin's. Returns curl's wall time in seconds,
// or a negative number when a file was not stored.
double uploadWithCurl(const nlohmann::json& reservation, const Gallery& gallery,
                      const WorkFolder& work);
// Copies the gallery with "rclone copy --transfers 4" to destination under the Azure blob
// container that containerSasUrl signs for. Returns rclone's wall time, or a negative number.
double copyWithRclone(const std::string& containerSasUrl, const std::string& destination,
                      const Gallery& gallery);

// The processor time, user and system, that this process (RUSAGE_SELF) or the calling thread
// (RUSAGE_THREAD) has used so far, in seconds.
double cpuSeconds(int who);

// The seconds of one side over the rounds.
class Samples {
 public:
  void add(double seconds) { values_.push_back(seconds); }
  double median() const;
  double min() const;
  double max() const;
  // Sets NAME_s (the median), NAME_min_s and NAME_max_s.
  void report(benchmark::State& state, const std::string& name) const;

 private:
  std::vector<double> values_;
};

// Runs round(0), round(1), ... for 5 rounds, or as many as VORELIA_BENCH_ROUNDS says. A round
// returns false when a side failed (having said why on standard error); the case then ends with an
// error, as it does when a round throws (a sandbox or Azurite that does not start). Returns
// whether every round succeeded.
bool forEachRound(benchmark::State& state, const std::function<bool(int round)>& round);
// Runs the sides of one round one after another, starting with a different side each round so
// that none of them always goes first (warm caches, a quieter machine).
void runRound(int round, const std::vector<std::function<void()>>& sides);

// The plugin's publication beside curl's uploads of the same files and beside curl sending the
// protocol's own requests per file (publishRequestsWithCurl), over the rounds of a case.
struct PublishVersusCurl {
  Samples publish;
  Samples curl;
  Samples protocol;
  Samples head, uploads, tail;  // the publication's phases (PublishPhases)
  Samples publishCpu;           // the publishing process's processor time
  Samples protocolCpu;          // the protocol side's processor time (it runs on one thread)
  double peakMiB = 0;           // the largest peak resident memory of a publishing process
  double requestsPerFile = 0;   // blob requests per file of the last publication

  // One round: seeds the bench account in sandbox, then publishes the gallery through PublishShare
  // against apiRoot, uploads it with curl to resources the sandbox reserves, and sends the
  // protocol's requests with curl to others, the first side turning from round to round. Returns
  // false when a side failed.
  bool round(int round, const testing::SandboxProcess& sandbox, const std::string& apiRoot,
             const Gallery& gallery, const WorkFolder& work);
  // Sets the counters of the sides: publish_s, curl_s, protocol_s (each with _min_s and _max_s),
  // ratio (publish / curl's bare uploads), protocol_ratio (publish / the protocol's requests),
  // the publication's phases head_s, uploads_s and tail_s (medians), uploads_protocol_ratio
  // (uploads / the protocol's requests), publish_cpu_s and protocol_cpu_s (the sides'
  // processor time, medians), blob_requests_per_file and peak_rss_MiB.
  void report(benchmark::State& state) const;
};

// main() of a publishing benchmark: the publishing side when this process was started as one,
// else the benchmarks.
int benchMain(int argc, char** argv);

}  // namespace vorelia::bench
