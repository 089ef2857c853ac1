// Publishing a gallery through PublishShare against the sandbox's blob storage (encoding delay 0),
// beside the same files uploaded to the same store by the curl command-line tool with four
// transfers at a time: the wall-time ratio publish/curl, the blob requests per file (from the
// sandbox's request log) and the peak resident memory of the publishing process.
//
// Each round starts a fresh sandbox (its blobs live in a temporary folder), publishes in a child
// process (so that its peak memory is its own), then runs curl on freshly reserved resources.
// The best of the rounds of each side is compared, to keep the noise of a shared machine out.
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "publish/publish_share.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

extern char** environ;

namespace vorelia {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;

struct Gallery {
  std::filesystem::path folder;
  std::vector<std::string> files;
  std::uint64_t fileSize = 0;
  ~Gallery() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

std::unique_ptr<Gallery> makeGallery(std::size_t count, std::uint64_t size) {
  auto gallery = std::make_unique<Gallery>();
  gallery->folder = testing::makeTempDirectory("vorelia-gallery");
  gallery->fileSize = size;
  for (std::size_t i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "photo_%04zu.jpg", i);
    const auto path = gallery->folder / name;
    testing::writeGeneratedFile(path, size);
    gallery->files.push_back(path.string());
  }
  return gallery;
}

struct PublishRun {
  double seconds = 0;
  long peakKiB = 0;
  bool ok = false;
};

// Publishes in a child process; the parent has no threads of its own, so forking is safe.
PublishRun publishInChild(const testing::SandboxProcess& sandbox, const std::string& token,
                          const std::vector<std::string>& files) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    auto state = std::make_shared<PluginState>(Deployment{sandbox.baseUrl(), "", "", ""});
    state->account.set("bench");
    state->setAuthentication("Bearer " + token, std::chrono::system_clock::now());
    auto api = std::make_shared<Api>(state);
    PublishShare workflow(state, api);
    const auto start = Clock::now();
    const auto result = workflow.DoPublish(
        PublishTask{"voreliaPublishShare", files, {{"albumName-input", std::string("Bench")}}}, {});
    PublishRun run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.ok =
        result.url.has_value() && result.message.find("could not be uploaded") == std::string::npos;
    if (!run.ok) std::cerr << "publish failed: " << result.message << "\n";
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    run.peakKiB = usage.ru_maxrss;
    const ssize_t written = ::write(fds[1], &run, sizeof run);
    ::_exit(written == sizeof run ? 0 : 1);
  }
  ::close(fds[1]);
  PublishRun run;
  const ssize_t n = pid > 0 ? ::read(fds[0], &run, sizeof run) : -1;
  ::close(fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return n == sizeof run ? run : PublishRun{};
}

// Reserves resources for the files (as the plugin does) and uploads them with curl, four at a
// time. The signed URLs go through a config file, not the command line. Returns the seconds
// curl took, or a negative number when a transfer failed.
double uploadWithCurl(const testing::SandboxProcess& sandbox, const std::string& token,
                      const std::string& albumId, const Gallery& gallery) {
  nlohmann::json files = nlohmann::json::array();
  for (const auto& file : gallery.files) {
    files.push_back(
        {{"name", std::filesystem::path(file).filename().string()}, {"size", gallery.fileSize}});
  }
  httplib::Client client("127.0.0.1", sandbox.port());
  client.set_read_timeout(std::chrono::seconds(120));
  const auto answer = client.Put("/api/bench/containers/" + albumId + "/inituploadresources",
                                 {{"Authorization", "Bearer " + token}},
                                 nlohmann::json{{"value", files}}.dump(), "application/json");
  if (!answer) return -1;
  const auto reservation = nlohmann::json::parse(answer->body, nullptr, false);
  if (!reservation.contains("value") || reservation["value"].size() != gallery.files.size()) {
    return -1;
  }
  const std::filesystem::path config = gallery.folder / "curl.config";
  const std::filesystem::path codes = gallery.folder / "curl.codes";
  {
    std::ofstream out(config);
    out << "silent\nshow-error\nheader = \"x-ms-blob-type: BlockBlob\"\nheader = \"Expect:\"\n"
        << "write-out = \"%{http_code}\\n\"\n";
    for (std::size_t i = 0; i < gallery.files.size(); ++i) {
      const auto& resource = reservation["value"][i];
      out << "url = \"" << reservation["storageUrl"].get<std::string>()
          << resource["id"].get<std::string>() << "-o/" << resource["name"].get<std::string>()
          << resource["sas"].get<std::string>() << "\"\n"
          << "upload-file = \"" << gallery.files[i] << "\"\n";
    }
  }
  std::vector<std::string> argv{
      "curl", "--parallel", "--parallel-max", "4", "--no-progress-meter", "-K", config.string()};
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, codes.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, "curl", &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream in(codes);
  std::size_t created = 0;
  for (std::string line; std::getline(in, line);) created += line == "201";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || created != gallery.files.size()) {
    std::cerr << "curl failed: " << created << " of " << gallery.files.size() << " stored\n";
    return -1;
  }
  return seconds;
}

// Blob writes recorded since the last clear, and whether the log kept them all.
std::size_t blobRequests(const testing::SandboxProcess& sandbox) {
  std::size_t count = 0;
  for (const auto& request : sandbox.requests()) {
    count += request["method"] == "PUT" && request["path"].get<std::string>().starts_with("/blob/");
  }
  return count;
}

void BM_PublishVersusCurl(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto size = static_cast<std::uint64_t>(state.range(1)) * 1024;
  const auto gallery = makeGallery(count, size);
  double bestPublish = 1e9, bestCurl = 1e9;
  long peakKiB = 0;
  double requestsPerFile = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      testing::SandboxProcess sandbox(testing::withArguments(
          {"--encoding-delay-ms", "0", "--request-log", std::to_string(4 * count + 100)}));
      sandbox.seedUser("bench@example.test", "pw", {"bench"});
      const std::string token = sandbox.token("bench@example.test");
      const auto album = sandbox.seedAlbum({{"account", "bench"}, {"name", "Bench"}});
      sandbox.clearRequests();

      const PublishRun run = publishInChild(sandbox, token, gallery->files);
      if (!run.ok) return state.SkipWithError("publishing failed");
      requestsPerFile = static_cast<double>(blobRequests(sandbox)) / static_cast<double>(count);
      bestPublish = std::min(bestPublish, run.seconds);
      peakKiB = std::max(peakKiB, run.peakKiB);

      const double curl = uploadWithCurl(sandbox, token, album["id"], *gallery);
      if (curl < 0) return state.SkipWithError("curl failed");
      bestCurl = std::min(bestCurl, curl);
      std::cerr << "round " << round << ": publish " << run.seconds << " s, curl " << curl
                << " s, peak " << run.peakKiB / 1024.0 << " MiB\n";
    }
    state.SetIterationTime(bestPublish);
  }
  state.counters["publish_s"] = bestPublish;
  state.counters["curl_s"] = bestCurl;
  state.counters["ratio"] = bestPublish / bestCurl;
  state.counters["blob_requests_per_file"] = requestsPerFile;
  state.counters["peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
}
// 16 files of 64 MiB (goal: ratio <= 1.10), 1,000 files of 64 KiB (goal: ratio <= 1.25).
BENCHMARK(BM_PublishVersusCurl)
    ->Args({16, 64 * 1024})
    ->Args({1000, 64})
    ->ArgNames({"files", "KiB"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vorelia
