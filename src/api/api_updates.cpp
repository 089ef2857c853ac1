// Self-update from the update library and usage records to the statistics queue.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include "api/api.h"
#include "api/queue_message.h"
#include "api/update_installer.h"
#include "platform/leftovers.h"
#include "platform/user_directories.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using platform::URLResponse;
using platform::URLSession;

// The version goes into a file name and a URL: anything that could leave the Downloads folder or
// change the URL's meaning is refused.
bool IsPlainVersion(const std::string& version) {
  return !version.empty() && std::none_of(version.begin(), version.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#' ||
           c == '%';
  });
}

// Whether the download holds the whole of a successful answer.
bool IsCompleteArchive(const fs::path& location, const URLResponse& response) {
  if (response.statusCode < 200 || response.statusCode > 299) return false;
  const auto length = response.value("Content-Length");
  if (!length) return true;
  const std::string_view text = *length;
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  if (first == std::string_view::npos) return false;
  std::uintmax_t expected = 0;
  const auto [end, error] = std::from_chars(text.data() + first, text.data() + last + 1, expected);
  if (error != std::errc{} || end != text.data() + last + 1) return false;
  std::error_code ec;
  const auto size = fs::file_size(location, ec);
  return !ec && size == expected;
}

// Hidden copies of an archive in the Downloads folder, before it is complete and handled.
constexpr std::string_view PartialArchivePrefix = ".VoreliaCaptureOnePlugin.";

// A copy of the downloaded file beside localFile under a hidden name, locked as in use while this
// lives and removed with it unless it was named. The archive's own name never holds a partial
// file: it is given only by keepAs, one rename.
class PartialArchive {
 public:
  PartialArchive(const fs::path& location, const fs::path& localFile) {
    std::error_code ec;
    fs::create_directories(localFile.parent_path(), ec);
    if (ec) return;
    // "." + the archive's name, which starts with "VoreliaCaptureOnePlugin.", so the prefix.
    for (int attempt = 0; attempt < platform::MakeAttempts && path_.empty(); ++attempt) {
      std::string name =
          (localFile.parent_path() / ("." + localFile.filename().string() + "-XXXXXX")).string();
      const int fd = ::mkstemp(name.data());
      if (fd < 0) return;
      lock_ = platform::InUseLock(name);
      ::close(fd);
      if (lock_.held()) path_ = name;
    }
    if (path_.empty()) return;
    fs::copy_file(location, path_, fs::copy_options::overwrite_existing, ec);
    copied_ = !ec;
  }
  ~PartialArchive() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove(path_, ignored);
  }
  PartialArchive(const PartialArchive&) = delete;
  PartialArchive& operator=(const PartialArchive&) = delete;

  bool copied() const { return copied_; }
  const fs::path& path() const { return path_; }
  void keepAs(const fs::path& localFile) {
    std::error_code ec;
    fs::rename(path_, localFile, ec);
    if (!ec) path_.clear();
  }

 private:
  fs::path path_;
  platform::InUseLock lock_;
  bool copied_ = false;
};

}  // namespace

void Api::CheckForUpdates(UpdateCheckCompletion onCompleted) {
  SendForJSON(
      state->updateUrl, Call{.authenticated = false, .maxAnswerBytes = ShortAnswerLimit},
      [self = shared_from_this(), onCompleted = std::move(onCompleted)](
          std::optional<JSON> json) mutable { onCompleted(std::move(json), std::move(self)); });
}

void Api::DownloadUpdate(std::function<void(UpdateResult)> onFinished) {
  const auto finish = [onFinished](UpdateResult result) {
    if (onFinished) onFinished(result);
  };
  const auto stop = [&finish](UpdateResult result) {
    platform::CompletionPool::shared().async([finish, result] { finish(result); });
  };
  const auto version = state->updateVersion.get();
  if (!version || !IsPlainVersion(*version)) return stop(UpdateResult::skipped);
  const fs::path downloads = platform::downloadsDirectory();
  if (downloads.empty()) return stop(UpdateResult::skipped);
  const std::string fileName = UpdateArchiveName(*version);
  const fs::path localFile = downloads / fileName;
  std::error_code ec;
  // Whatever is there, also a dangling link, marks the version as handled.
  if (fs::symlink_status(localFile, ec).type() != fs::file_type::not_found) {
    return stop(UpdateResult::alreadyDownloaded);
  }

  // The archive is only read: the session may fetch it again after a transient failure. Its
  // download stops as soon as it passes what the installer would unpack at most.
  auto request = Request(
      state->updateBaseUrl + fileName,
      Call{.authenticated = false, .maxAnswerBytes = InstallLimits{}.maxBytes, .streamed = true});
  URLSession::shared().downloadTask(std::move(*request), [version = *version, localFile, finish](
                                                             std::optional<fs::path> location,
                                                             std::optional<URLResponse> response,
                                                             std::optional<platform::URLError>) {
    // The installation runs here, on the pool, while the host keeps the old plug-in loaded.
    if (!location || !response || !IsCompleteArchive(*location, *response)) {
      return finish(UpdateResult::downloadFailed);
    }
    // The archive takes its name, the mark of a handled version, only once it was complete and
    // its install ran to the end: a run killed before leaves a hidden copy, which the next start
    // removes before it tries again.
    PartialArchive archive(*location, localFile);
    if (!archive.copied()) return finish(UpdateResult::notSaved);
    const fs::path plugins = PluginsFolder(platform::libraryDirectory());
    const bool installed =
        !plugins.empty() && InstallArchive(archive.path(), plugins) == InstallResult::installed;
    archive.keepAs(localFile);
    if (!installed) return finish(UpdateResult::notInstalled);
    RemoveOlderEntries(plugins, version);
    finish(UpdateResult::installed);
  });
}

std::function<void()> Api::RemovalOfLeftoversOfKilledRuns() {
  std::error_code error;
  fs::path temporary = fs::temp_directory_path(error);
  return [temporary = std::move(temporary), downloads = platform::downloadsDirectory(),
          plugins = PluginsFolder(platform::libraryDirectory())] {
    if (!temporary.empty()) {
      URLSession::removeAbandonedDownloads(temporary);
      platform::removeAbandoned(temporary, BodyFile::Prefix);
    }
    if (!downloads.empty()) platform::removeAbandoned(downloads, PartialArchivePrefix);
    RecoverInterruptedInstalls(plugins);
  };
}

void Api::PostToQueue(const JSON& payload) {
  auto body = QueueMessageBody(payload);
  if (!body) return;
  auto request = Request(state->queueUrl, Call{.method = "POST",
                                               .authenticated = false,
                                               .text = std::move(*body),
                                               .contentType = std::string(QueueMessageContentType),
                                               .maxAnswerBytes = ShortAnswerLimit});
  URLSession::shared().dataTask(std::move(*request),
                                [](std::optional<std::string>, std::optional<URLResponse>,
                                   std::optional<platform::URLError>) {});
}

}  // namespace vorelia
