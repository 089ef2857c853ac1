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

// Copies the downloaded file into the Downloads folder under its name. The copy is made under a
// hidden temporary name and renamed when complete, so the name never holds a partial file.
bool SaveDownload(const fs::path& location, const fs::path& localFile) {
  std::error_code ec;
  fs::create_directories(localFile.parent_path(), ec);
  if (ec) return false;
  std::string partial =
      (localFile.parent_path() / ("." + localFile.filename().string() + "-XXXXXX")).string();
  const int fd = ::mkstemp(partial.data());
  if (fd < 0) return false;
  ::close(fd);
  fs::copy_file(location, partial, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(partial, localFile, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    return false;
  }
  return true;
}

}  // namespace

void Api::CheckForUpdates(UpdateCheckCompletion onCompleted) {
  SendForJSON(
      state->updateUrl, Call{"GET", false, std::nullopt, std::nullopt},
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

  // The archive is only read: the session may fetch it again after a transient failure.
  auto request =
      Request(state->updateBaseUrl + fileName, Call{.authenticated = false, .streamed = true});
  URLSession::shared().downloadTask(std::move(*request), [version = *version, localFile, finish](
                                                             std::optional<fs::path> location,
                                                             std::optional<URLResponse> response,
                                                             std::optional<platform::URLError>) {
    // The installation runs here, on the pool, while the host keeps the old plug-in loaded.
    if (!location || !response || !IsCompleteArchive(*location, *response)) {
      return finish(UpdateResult::downloadFailed);
    }
    if (!SaveDownload(*location, localFile)) return finish(UpdateResult::notSaved);
    const fs::path plugins = PluginsFolder(platform::libraryDirectory());
    if (plugins.empty() || InstallArchive(localFile, plugins) != InstallResult::installed) {
      return finish(UpdateResult::notInstalled);
    }
    RemoveOlderEntries(plugins, version);
    finish(UpdateResult::installed);
  });
}

void Api::PostToQueue(const JSON& payload) {
  auto body = QueueMessageBody(payload);
  if (!body) return;
  auto request =
      Request(state->queueUrl, Call{.method = "POST",
                                    .authenticated = false,
                                    .contentType = std::string(QueueMessageContentType)});
  request->body = std::move(*body);
  URLSession::shared().dataTask(std::move(*request),
                                [](std::optional<std::string>, std::optional<URLResponse>,
                                   std::optional<platform::URLError>) {});
}

}  // namespace vorelia
