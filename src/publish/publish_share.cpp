#include "publish/publish_share.h"

#include <ctime>
#include <filesystem>
#include <mutex>

#include "api/await.h"
#include "model/keys.h"
#include "model/text.h"
#include "publish/name_escaping.h"
#include "publish/upload_gate.h"

namespace vorelia {
namespace {

constexpr const char* ShareMessage =
    "Click show to see your web album. It may takes few minutes before the pictures appears.";
constexpr const char* ProofingMessage =
    "Go to Capture One > Preferences > Plugins > Vorelia > Proofing to load the result.  It may "
    "takes few minutes before the pictures appears.";
constexpr int UploadsAtOnce = 4;  // as many as the Api lets run

PublishResult Failed(std::string message, bool filesLost = false) {
  return PublishResult{std::nullopt, std::move(message), filesLost};
}

std::uint64_t FileSizeOf(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

// The proofing link is the share link with its first "/a/" turned into "/p/".
std::string ProofingUrl(std::string url) {
  if (const auto at = url.find("/a/"); at != std::string::npos) url.replace(at, 3, "/p/");
  return url;
}

// Counts finished files and reports each new count once, in order.
class StepCounter {
 public:
  StepCounter(const PublishProgress& progress, std::uint64_t total)
      : progress_(progress), total_(total) {}

  void step(const std::string& itemName, const char* what) {
    std::scoped_lock lock(mutex_);
    ++completed_;
    report(itemName + " " + what + " (" + std::to_string(completed_) + " of " +
           std::to_string(total_) + ")");
  }
  void finalStep(const std::string& text) {
    std::scoped_lock lock(mutex_);
    ++completed_;
    report(text);
  }

 private:
  void report(const std::string& text) {
    if (progress_) progress_(completed_, total_, text);
  }

  const PublishProgress& progress_;
  const std::uint64_t total_;
  std::mutex mutex_;
  std::uint64_t completed_ = 0;  // guarded by mutex_
};

}  // namespace

std::string PublishShare::GetAlbumName(const PublishSettings& settings,
                                       std::chrono::system_clock::time_point now) {
  if (auto name = StringSetting(settings, std::string(P::AlbumNameIdentifier));
      name && !name->empty()) {
    return *name;
  }
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  return "C1_" + std::to_string(local.tm_year + 1900) + "_" + std::to_string(local.tm_mon + 1) +
         "_" + std::to_string(local.tm_mday) + "_" + std::to_string(local.tm_hour) + ":" +
         std::to_string(local.tm_min);
}

std::pair<std::optional<JSON>, std::optional<JSON>> PublishShare::loadAccountStateAndContainers() {
  platform::DispatchGroup group;
  std::optional<JSON> accountState;
  std::optional<JSON> containers;
  group.enter();
  group.enter();
  api->GetAccountState([&](std::optional<JSON> answer) {
    accountState = std::move(answer);
    group.leave();
  });
  api->GetContainers(false, [&](std::optional<JSON> answer) {
    containers = std::move(answer);
    group.leave();
  });
  group.wait();
  return {std::move(accountState), std::move(containers)};
}

std::optional<JSON> PublishShare::findOrCreateAlbum(const std::vector<JSON>& containers,
                                                    const PublishSettings& settings) {
  const std::string albumId =
      StringSetting(settings, std::string(P::AlbumsListIdentifier)).value_or("create");
  if (albumId != "create") {
    for (const auto& container : containers) {
      if (container[P::Id].stringValue() == albumId) return container;
    }
    return std::nullopt;
  }
  const std::string name = GetAlbumName(settings);
  // Names that are the same lowercased, in any script, name the same album.
  const std::string lower = NormalizedLowercase(name);
  for (const auto& container : containers) {
    if (NormalizedLowercase(container[P::Name].stringValue()) == lower) {
      return container;  // an album of that name is reused
    }
  }
  auto created = Await<std::optional<JSON>>([&](auto done) {
    api->CreateContainerIfNotExists(JSON{{"name", name}}, std::move(done));
  });
  api->RefreshContainers();  // the cached album list then holds the new album
  return created;
}

PublishResult PublishShare::DoPublish(const PublishTask& task, const PublishProgress& progress) {
  if (task.files.empty()) return Failed("Invalid task, no files");

  const auto [accountState, containerList] = loadAccountStateAndContainers();
  if (!accountState || !containerList) {
    return Failed("The service at " + AddressOf(state->baseUrl) +
                  " did not answer with the album list. Check the connection and retry");
  }
  const auto album = findOrCreateAlbum(
      (*containerList)[P::Value].array().value_or(std::vector<JSON>{}), task.settings);
  if (!album) return Failed("Album is null, retry with an other name");
  const std::string albumName = (*album)[P::Name].stringValue();
  const std::string albumId = (*album)[P::Id].stringValue();
  if (albumId.empty()) return Failed("Album id is null, retry with an other name");

  std::vector<UploadInfo> uploads;
  uploads.reserve(task.files.size());
  for (const auto& file : task.files) {
    UploadInfo upload;
    upload.FilePath = file;
    upload.FileSize = FileSizeOf(file);
    upload.ItemName = voreliaEscape(std::filesystem::path(file).filename().string());
    upload.ContainerName = albumName;
    upload.ContainerId = albumId;
    uploads.push_back(std::move(upload));
  }

  // The list and the answer grow with the number of files: each is held only as long as needed.
  auto reservation = Await<std::optional<JSON>>([&](auto done) {
    std::vector<JSON> announced;
    announced.reserve(uploads.size());
    for (const UploadInfo& upload : uploads) {
      announced.push_back(JSON{{"name", upload.ItemName}, {"size", upload.FileSize}});
    }
    api->InitUploadResource(albumId, announced, std::move(done));
  });
  if (!reservation) {
    return Failed("The service at " + AddressOf(state->baseUrl) +
                  " did not answer the upload request. Check the connection and retry");
  }
  if ((*reservation)[P::HasError].boolValue()) {
    return Failed((*reservation)[P::Message].stringValue());
  }
  const std::string storageUrl = (*reservation)[P::StorageUrl].stringValue();
  JSON list = (*reservation)[P::Value];
  reservation.reset();
  const auto resources = std::move(list).array().value_or(std::vector<JSON>{});
  if (resources.size() < uploads.size()) {
    return Failed("The service made room for " + std::to_string(resources.size()) + " of " +
                  std::to_string(uploads.size()) + " images. Nothing was uploaded, retry later");
  }

  // Every upload is issued at once, four at a time. The task thread takes one of its own four
  // slots before it asks the gate how to send a file, so the gate has heard of every upload that
  // ended before; the Api's throttle, of the same size, then never holds it.
  const std::uint64_t total = uploads.size() + 1;
  StepCounter counter(progress, total);
  // A file counts as published once the store holds it and the service took its encoding
  // request; any other file is not waited for, not ordered, and named as not uploaded.
  std::vector<char> published(uploads.size(), 0);  // written by one completion each
  std::vector<std::string> ids(uploads.size());
  UploadGate gate;
  platform::DispatchSemaphore slots(UploadsAtOnce);
  platform::DispatchGroup group;
  for (std::size_t i = 0; i < uploads.size(); ++i) {
    group.enter();
    UploadInfo upload = uploads[i];
    // Any resource goes back to the service as it came, also one that is not an object.
    upload.UploadResource = JSON::ParseFragment(resources[i].stringValue());
    ids[i] = (*upload.UploadResource)[P::Id].stringValue();
    slots.wait();
    const UploadGate::Send send = gate.next();
    if (send == UploadGate::Send::skip) {  // the store is gone: no request
      slots.signal();
      counter.step(upload.ItemName, "could not be uploaded");
      group.leave();
      continue;
    }
    const bool probe = send == UploadGate::Send::once;
    api->UploadFile(
        storageUrl, upload,
        [&, i, probe](UploadInfo uploaded, UploadOutcome outcome) {
          gate.report(outcome, probe);
          slots.signal();
          if (outcome != UploadOutcome::stored) {  // not in the store: nothing to encode
            counter.step(uploaded.ItemName, "could not be uploaded");
            return group.leave();
          }
          api->TriggerEncoding(uploaded, [&, i, itemName = uploaded.ItemName](bool accepted) {
            published[i] = accepted ? 1 : 0;
            counter.step(itemName, accepted ? "done" : "could not be uploaded");
            group.leave();
          });
        },
        probe ? UploadAttempts::once : UploadAttempts::retried);
  }
  group.wait();

  std::vector<std::string> publishedIds;
  std::vector<std::string> lost;  // the files' own names, in file order
  for (std::size_t i = 0; i < uploads.size(); ++i) {
    if (published[i]) {
      publishedIds.push_back(std::move(ids[i]));
    } else {
      lost.push_back(std::filesystem::path(task.files[i]).filename().string());
    }
  }
  const std::string unreachable =
      gate.unreachable() ? " The storage at " + AddressOf(storageUrl) + " could not be reached."
                         : "";
  if (publishedIds.empty()) {
    return Failed("No image could be uploaded: " + NamedFiles(lost) + "." + unreachable, true);
  }
  // Said first in every message that follows, so that a partial album never reads as whole.
  const std::string losses =
      lost.empty()
          ? ""
          : std::to_string(lost.size()) + " of " + std::to_string(uploads.size()) +
                " images could not be uploaded: " + NamedFiles(lost) + "." + unreachable + " ";

  const bool downloads = BoolSetting(task.settings, std::string(P::AlbumDownloadIdentifier));
  const JSON sharePayload{{"containers", std::vector<JSON>{JSON{{"id", albumId}}}},
                          {std::string(P::IsDownloadEnabled), downloads ? 1 : 0}};
  const auto share = Await<std::optional<JSON>>(
      [&](auto done) { api->GetShareUrl(sharePayload, std::move(done)); });
  if (!share) {
    return Failed(losses + (lost.empty() ? "The images were" : "The others were") +
                      " uploaded, but the service at " + AddressOf(state->baseUrl) +
                      " did not answer with the album's link. Retry to get it",
                  !lost.empty());
  }
  const std::string shareUrl = (*share)[P::Url].stringValue();

  counter.finalStep("Please wait encoding...");
  Await<std::optional<JSON>>(
      [&](auto done) { api->WaitForEncodingToComplete(publishedIds, std::move(done)); });

  if (publishedIds.size() > 1) {
    std::vector<JSON> order;
    order.reserve(publishedIds.size());
    for (std::size_t n = 0; n < publishedIds.size(); ++n) {
      order.push_back(JSON{{"id", publishedIds[n]}, {"order", static_cast<std::int64_t>(n)}});
    }
    JSON payload{{"value", JSON(std::move(order))}};  // the list itself is gone after this line
    Await<std::optional<JSON>>(
        [&](auto done) { api->ReorderContainer(albumId, std::move(payload), std::move(done)); });
  }

  const bool proofing = task.actionIdentifier == Publish::Proofing;
  return PublishResult{proofing ? ProofingUrl(shareUrl) : shareUrl,
                       losses + (proofing ? ProofingMessage : ShareMessage), !lost.empty()};
}

}  // namespace vorelia
