#include "support/side_by_side.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "publish/publish_share.h"
#include "support/child_process.h"
#include "support/protocol_side.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

extern char** environ;

namespace vorelia::bench {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kChildFlag = "--publish-child";
constexpr const char* kTokenVariable = "VORELIA_BENCH_TOKEN";
// No side of any case takes this long; a hung child is killed after it.
constexpr auto kLongestSide = std::chrono::minutes(30);

fs::path findProgram(const std::string& name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  for (std::string folder; std::getline(path, folder, ':');) {
    const fs::path candidate = fs::path(folder) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Starts program with arguments and, beside this process's environment, the variables in extra
// (for secrets, which must not appear on a command line); standard output into outFile, standard
// error into errFile (inherited when empty). Runs it to its end. Returns its exit code, or -1.
int runChild(const fs::path& program, const std::vector<std::string>& arguments,
             const std::vector<std::string>& extra, const fs::path& outFile,
             const fs::path& errFile = {}) {
  if (program.empty()) return -1;
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> rawArgv;
  for (auto& argument : argv) rawArgv.push_back(argument.data());
  rawArgv.push_back(nullptr);
  std::vector<std::string> environment(extra);
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.emplace_back(*variable);
  }
  std::vector<char*> rawEnvironment;
  for (auto& variable : environment) rawEnvironment.push_back(variable.data());
  rawEnvironment.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!errFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = -1;
  const int error =
      ::posix_spawn(&pid, rawArgv[0], &actions, nullptr, rawArgv.data(), rawEnvironment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  return testing::reapChild(pid,
                            std::chrono::duration_cast<std::chrono::milliseconds>(kLongestSide));
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The peak resident memory of this process's own image (VmHWM). Not getrusage's ru_maxrss: a
// process started by posix_spawn keeps in it the peak of the parent whose memory it shared until
// exec, so a parent holding a large reservation would count as the child's.
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double monotonicSeconds(Clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

// The publishing side, in a fresh process: arguments are the API root and a file listing the
// gallery, the token comes in the environment. Prints "SECONDS PEAK_KIB OK STARTED ENDED CPU",
// STARTED and ENDED on the monotonic clock.
int publishChild(const std::string& apiRoot, const std::string& listFile) {
  TextList files;
  std::ifstream list(listFile);
  for (std::string line; std::getline(list, line);) files.add(line);
  const char* token = std::getenv(kTokenVariable);
  if (token == nullptr) return 2;
  auto state = std::make_shared<PluginState>(Deployment{apiRoot, "", "", ""});
  state->account.set(kBenchAccount);
  state->setAuthentication(std::string("Bearer ") + token, std::chrono::system_clock::now());
  auto api = std::make_shared<Api>(state);
  PublishShare workflow(state, api);
  const auto start = Clock::now();
  const auto result = workflow.DoPublish(
      PublishTask{
          "voreliaPublishShare", std::move(files), {{"albumName-input", std::string("Bench")}}},
      {});
  const auto end = Clock::now();
  const double seconds = std::chrono::duration<double>(end - start).count();
  const bool ok =
      result.url.has_value() && result.message.find("could not be uploaded") == std::string::npos;
  if (!ok) std::cerr << "publishing failed: " << result.message << "\n";
  std::cout.precision(17);
  std::cout << seconds << " " << peakResidentKiB() << " " << ok << " " << monotonicSeconds(start)
            << " " << monotonicSeconds(end) << " " << cpuSeconds(RUSAGE_SELF) << std::endl;
  std::_Exit(0);  // the sessions' threads need no orderly end here
}

}  // namespace

Gallery::~Gallery() {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

std::unique_ptr<Gallery> makeGallery(std::size_t count, std::uint64_t size) {
  auto gallery = std::make_unique<Gallery>();
  gallery->folder = testing::makeTempDirectory("vorelia-gallery");
  gallery->fileSize = size;
  for (std::size_t i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "photo_%05zu.jpg", i);
    const auto path = gallery->folder / name;
    if (!testing::writeGeneratedFile(path, size)) {
      throw std::runtime_error("cannot write " + path.string());
    }
    gallery->files.push_back(path.string());
  }
  return gallery;
}

WorkFolder::WorkFolder() : path(testing::makeTempDirectory("vorelia-bench")) {}

WorkFolder::~WorkFolder() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

BenchAccount seedBenchAccount(const testing::SandboxProcess& sandbox) {
  sandbox.seedUser("bench@example.test", "pw", {kBenchAccount});
  BenchAccount account;
  account.token = sandbox.token("bench@example.test");
  account.albumId = sandbox.seedAlbum({{"account", kBenchAccount}, {"name", "Bench"}})["id"];
  return account;
}

PublishRun publishInChild(const std::string& apiRoot, const std::string& token,
                          const Gallery& gallery, const WorkFolder& work) {
  const fs::path listFile = work.path / "publish.list";
  const fs::path output = work.path / "publish.out";
  {
    std::ofstream out(listFile);
    for (const auto& file : gallery.files) out << file << "\n";
  }
  const int code =
      runChild(fs::read_symlink("/proc/self/exe"), {kChildFlag, apiRoot, listFile.string()},
               {std::string(kTokenVariable) + "=" + token}, output);
  PublishRun run;
  long peakKiB = 0;
  std::ifstream in(output);
  in >> run.seconds >> peakKiB >> run.ok >> run.started >> run.ended >> run.cpuSeconds;
  if (code != 0 || !in) return {};
  run.peakMiB = static_cast<double>(peakKiB) / 1024.0;
  return run;
}

namespace {

bool isBlobWrite(const nlohmann::json& request) {
  return request["method"] == "PUT" && request["path"].get<std::string>().starts_with("/blob/");
}

bool isEncodingRequest(const nlohmann::json& request) {
  return request["method"] == "PUT" && request["path"].get<std::string>().ends_with("/encode");
}

}  // namespace

std::size_t blobWrites(const nlohmann::json& requests) {
  return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), isBlobWrite));
}

PublishPhases phasesOf(const PublishRun& run, const nlohmann::json& requests) {
  std::optional<double> firstBlob;
  std::optional<double> lastEncoding;
  for (const auto& request : requests) {
    if (isBlobWrite(request) && !firstBlob) firstBlob = request["arrived"].get<double>();
    if (isEncodingRequest(request) && request["answered"].is_number()) {
      lastEncoding = std::max(lastEncoding.value_or(0), request["answered"].get<double>());
    }
  }
  if (!firstBlob || !lastEncoding) return {};
  return {*firstBlob - run.started, *lastEncoding - *firstBlob, run.ended - *lastEncoding};
}

nlohmann::json reserveUploads(const testing::SandboxProcess& sandbox, const BenchAccount& account,
                              const Gallery& gallery) {
  nlohmann::json files = nlohmann::json::array();
  for (const auto& file : gallery.files) {
    files.push_back({{"name", fs::path(file).filename().string()}, {"size", gallery.fileSize}});
  }
  httplib::Client client("127.0.0.1", sandbox.port());
  client.set_read_timeout(std::chrono::seconds(120));
  const auto answer = client.Put("/api/" + std::string(kBenchAccount) + "/containers/" +
                                     account.albumId + "/inituploadresources",
                                 {{"Authorization", "Bearer " + account.token}},
                                 nlohmann::json{{"value", files}}.dump(), "application/json");
  if (!answer) return nullptr;
  auto reservation = nlohmann::json::parse(answer->body, nullptr, false);
  if (!reservation.contains("value") || reservation["value"].size() != gallery.files.size()) {
    return nullptr;
  }
  return reservation;
}

double uploadWithCurl(const nlohmann::json& reservation, const Gallery& gallery,
                      const WorkFolder& work) {
  if (reservation.is_null()) return -1;
  const fs::path config = work.path / "curl.config";
  const fs::path codes = work.path / "curl.codes";
  {
    // The signed URLs go through a 0600 file, not the command line.
    const int fd = ::open(config.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) ::close(fd);
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
  const auto start = Clock::now();
  const int code =
      runChild(findProgram("curl"),
               {"--parallel", "--parallel-max", "4", "--no-progress-meter", "-K", config.string()},
               {}, codes);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream in(codes);
  std::size_t created = 0;
  for (std::string line; std::getline(in, line);) created += line == "201";
  if (code != 0 || created != gallery.files.size()) {
    std::cerr << "curl failed: " << created << " of " << gallery.files.size() << " stored\n";
    return -1;
  }
  return seconds;
}

double copyWithRclone(const std::string& containerSasUrl, const std::string& destination,
                      const Gallery& gallery) {
  WorkFolder work;
  const fs::path log = work.path / "rclone.log";
  // The remote lives in the environment only: no configuration file is read or written, and
  // the signature stays off the command line.
  const auto start = Clock::now();
  const int code =
      runChild(findProgram("rclone"),
               {"copy", gallery.folder.string(), "voreliabench:" + destination, "--transfers", "4"},
               {"RCLONE_CONFIG=" + (work.path / "none.conf").string(),
                "RCLONE_CONFIG_VORELIABENCH_TYPE=azureblob",
                "RCLONE_CONFIG_VORELIABENCH_SAS_URL=" + containerSasUrl},
               work.path / "rclone.out", log);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (code != 0) {
    std::cerr << "rclone failed (" << code << "): " << readFile(log) << "\n";
    return -1;
  }
  return seconds;
}

double cpuSeconds(int who) {
  rusage usage{};
  if (::getrusage(who, &usage) != 0) return 0;
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Samples::median() const {
  if (values_.empty()) return 0;
  std::vector<double> sorted(values_);
  std::sort(sorted.begin(), sorted.end());
  const std::size_t middle = sorted.size() / 2;
  return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double Samples::min() const {
  return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end());
}

double Samples::max() const {
  return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
}

void Samples::report(benchmark::State& state, const std::string& name) const {
  state.counters[name + "_s"] = median();
  state.counters[name + "_min_s"] = min();
  state.counters[name + "_max_s"] = max();
}

bool forEachRound(benchmark::State& state, const std::function<bool(int round)>& round) {
  int count = 5;
  if (const char* text = std::getenv("VORELIA_BENCH_ROUNDS"); text && std::atoi(text) > 0) {
    count = std::atoi(text);
  }
  try {
    for (int i = 0; i < count; ++i) {
      if (!round(i)) {
        state.SkipWithError("a side failed; see standard error");
        return false;
      }
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return false;
  }
  return true;
}

void runRound(int round, const std::vector<std::function<void()>>& sides) {
  const std::size_t first = static_cast<std::size_t>(round) % sides.size();
  for (std::size_t i = 0; i < sides.size(); ++i) sides[(first + i) % sides.size()]();
}

bool PublishVersusCurl::round(int round, const testing::SandboxProcess& sandbox,
                              const std::string& apiRoot, const Gallery& gallery,
                              const WorkFolder& work) {
  const BenchAccount account = seedBenchAccount(sandbox);
  const double count = static_cast<double>(gallery.files.size());
  bool failed = false;
  runRound(round, {[&] {
                     sandbox.clearRequests();
                     const PublishRun run = publishInChild(apiRoot, account.token, gallery, work);
                     failed = failed || !run.ok;
                     publish.add(run.seconds);
                     peakMiB = std::max(peakMiB, run.peakMiB);
                     const auto requests = sandbox.requests();
                     requestsPerFile = static_cast<double>(blobWrites(requests)) / count;
                     const PublishPhases phases = phasesOf(run, requests);
                     head.add(phases.head);
                     uploads.add(phases.uploads);
                     tail.add(phases.tail);
                     publishCpu.add(run.cpuSeconds);
                   },
                   [&] {
                     const double seconds =
                         uploadWithCurl(reserveUploads(sandbox, account, gallery), gallery, work);
                     failed = failed || seconds < 0;
                     curl.add(seconds);
                   },
                   [&] {
                     const auto reservation = reserveUploads(sandbox, account, gallery);
                     const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
                     const double seconds =
                         publishRequestsWithCurl(apiRoot, account, reservation, gallery);
                     protocolCpu.add(cpuSeconds(RUSAGE_THREAD) - cpuBefore);
                     failed = failed || seconds < 0;
                     protocol.add(seconds);
                   }});
  return !failed;
}

void PublishVersusCurl::report(benchmark::State& state) const {
  publish.report(state, "publish");
  curl.report(state, "curl");
  protocol.report(state, "protocol");
  state.counters["ratio"] = publish.median() / curl.median();
  state.counters["protocol_ratio"] = publish.median() / protocol.median();
  state.counters["head_s"] = head.median();
  state.counters["uploads_s"] = uploads.median();
  state.counters["tail_s"] = tail.median();
  state.counters["uploads_protocol_ratio"] = uploads.median() / protocol.median();
  state.counters["publish_cpu_s"] = publishCpu.median();
  state.counters["protocol_cpu_s"] = protocolCpu.median();
  state.counters["blob_requests_per_file"] = requestsPerFile;
  state.counters["peak_rss_MiB"] = peakMiB;
}

int benchMain(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == kChildFlag) return publishChild(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace vorelia::bench
