#include "publish/publish_share.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>

#include "api/await.h"
#include "api/body_file.h"
#include "model/id_list.h"
#include "model/json_list.h"
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
// Files from the start of their upload to the end of their encoding request: a service slower to
// take encoding requests than the store takes files holds the uploads back, rather than a queue
// of requests that grows with the run and times out.
constexpr int FilesUnderWay = 4 * UploadsAtOnce;

PublishResult Failed(std::string message, bool filesLost = false) {
  return PublishResult{std::nullopt, std::move(message), filesLost};
}

std::uint64_t FileSizeOf(std::string_view path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(std::filesystem::path(path), error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

// The proofing link is the share link with its first "/a/" turned into "/p/".
std::string ProofingUrl(std::string url) {
  if (const auto at = url.find("/a/"); at != std::string::npos) url.replace(at, 3, "/p/");
  return url;
}

// The name a file has on the service: its own name, escaped.
std::string ItemNameOf(std::string_view path) {
  return voreliaEscape(std::filesystem::path(path).filename().string());
}

// {"value":[{"id":…,"order":0},…]}: the files' new order, as they come in ids.
void AddOrder(const IdList& ids, JSONListWriter& order, std::size_t n) {
  order.add(JSON{{"id", std::string(ids[n])}, {"order", std::int64_t(n)}});
}

// The order as text; absent when an id is not UTF-8.
std::optional<std::string> OrderText(const IdList& ids) {
  JSONListWriter order(P::Value);
  order.reserve(ids.size() * 64);  // {"id":"…","order":n} for an id of 36 or less
  for (std::size_t n = 0; n < ids.size(); ++n) AddOrder(ids, order, n);
  return std::move(order).finish();
}

// The order in a file; nullptr when it cannot be written whole.
std::shared_ptr<const BodyFile> OrderFile(const IdList& ids) {
  return BodyFile::List(P::Value, ids.size(),
                        [&](JSONListWriter& order, std::size_t n) { AddOrder(ids, order, n); });
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

  // Per file only what the run needs later, a few bytes each: its size and, once reserved, its
  // resource's id. The announced list, the reservation and the orders are written and read one
  // file at a time, never held as trees.
  const std::size_t count = task.files.size();
  std::vector<std::uint64_t> sizes(count);
  JSONListWriter announced(P::Value);
  announced.reserve(count * 64);  // name and size; a longer name only makes it grow
  for (std::size_t i = 0; i < count; ++i) {
    sizes[i] = FileSizeOf(task.files[i]);
    announced.add(JSON{{"name", ItemNameOf(task.files[i])}, {"size", sizes[i]}});
  }
  auto reservation = Await<std::optional<Reservation>>([&](auto done) {
    api->ReserveUploads(albumId, std::move(announced).finish(), std::move(done));
  });
  if (!reservation) {
    return Failed("The service at " + AddressOf(state->baseUrl) +
                  " did not answer the upload request. Check the connection and retry");
  }
  if (reservation->hasError) return Failed(reservation->message);
  const std::string storageUrl = reservation->storageUrl;
  if (reservation->size() < count) {
    return Failed("The service made room for " + std::to_string(reservation->size()) + " of " +
                  std::to_string(count) + " images. Nothing was uploaded, retry later");
  }

  // Every upload is issued at once, four at a time, with at most FilesUnderWay files waiting for
  // their upload or encoding request to end. The task thread takes one of its own four slots
  // before it asks the gate how to send a file, so the gate has heard of every upload that ended
  // before; the Api's throttle, of the same size, then never holds it.
  const std::uint64_t total = count + 1;
  StepCounter counter(progress, total);
  // A file counts as published once the store holds it and the service took its encoding
  // request; any other file is not waited for, not ordered, and named as not uploaded.
  std::vector<char> published(count, 0);  // written by one completion each
  UploadGate gate;
  platform::DispatchSemaphore slots(UploadsAtOnce);
  platform::DispatchSemaphore underWay(FilesUnderWay);
  platform::DispatchGroup group;
  const auto finished = [&] {
    underWay.signal();
    group.leave();
  };
  for (std::size_t i = 0; i < count; ++i) {
    underWay.wait();
    group.enter();
    UploadInfo upload;
    upload.FilePath = task.files[i];
    upload.FileSize = sizes[i];
    upload.ItemName = ItemNameOf(task.files[i]);
    upload.ContainerName = albumName;
    upload.ContainerId = albumId;
    // Any resource goes back to the service as it came, also one that is not an object.
    upload.UploadResource = reservation->resource(i);
    slots.wait();
    const UploadGate::Send send = gate.next();
    if (send == UploadGate::Send::skip) {  // the store is gone: no request
      slots.signal();
      counter.step(upload.ItemName, "could not be uploaded");
      finished();
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
            return finished();
          }
          api->TriggerEncoding(uploaded, [&, i, itemName = uploaded.ItemName](bool accepted) {
            published[i] = accepted ? 1 : 0;
            counter.step(itemName, accepted ? "done" : "could not be uploaded");
            finished();
          });
        },
        probe ? UploadAttempts::once : UploadAttempts::retried);
  }
  std::vector<std::uint64_t>().swap(sizes);  // every upload has its size: not kept beside the ids
  group.wait();

  // The published files' ids, in file order, read again from the reservation's file rather than
  // kept while the uploads ran: waited for, then ordered.
  auto ids = std::make_shared<IdList>();
  const auto publishedCount =
      static_cast<std::size_t>(std::count(published.begin(), published.end(), 1));
  ids->reserve(publishedCount, publishedCount * 40);  // a longer id only makes it grow
  std::vector<std::string> lost;                      // the files' own names, in file order
  for (std::size_t i = 0; i < count; ++i) {
    if (published[i]) {
      ids->add(reservation->resource(i)[P::Id].stringValue());
    } else {
      lost.push_back(std::filesystem::path(task.files[i]).filename().string());
    }
  }
  reservation.reset();
  const std::shared_ptr<const IdList> publishedIds = std::move(ids);
  const std::string unreachable =
      gate.unreachable() ? " The storage at " + AddressOf(storageUrl) + " could not be reached."
                         : "";
  if (publishedIds->empty()) {
    return Failed("No image could be uploaded: " + NamedFiles(lost) + "." + unreachable, true);
  }
  // Said first in every message that follows, so that a partial album never reads as whole.
  const std::string losses = lost.empty()
                                 ? ""
                                 : std::to_string(lost.size()) + " of " + std::to_string(count) +
                                       " images could not be uploaded: " + NamedFiles(lost) + "." +
                                       unreachable + " ";

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

  if (publishedIds->size() > 1) {
    // The order, the longest body of the run, comes at its end beside the ids: it goes to a file
    // a piece at a time, and is held whole only when no file can be written.
    auto file = OrderFile(*publishedIds);
    Await<std::optional<JSON>>([&](auto done) {
      if (file) return api->ReorderContainer(albumId, std::move(file), std::move(done));
      api->ReorderContainer(albumId, OrderText(*publishedIds), std::move(done));
    });
  }

  const bool proofing = task.actionIdentifier == Publish::Proofing;
  return PublishResult{proofing ? ProofingUrl(shareUrl) : shareUrl,
                       losses + (proofing ? ProofingMessage : ShareMessage), !lost.empty()};
}

}  // namespace vorelia
