// The upload pipeline: reservation, blob upload, encoding trigger and the encoding long poll.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"
#include "model/json_list.h"
#include "model/keys.h"

namespace vorelia {

using platform::CompletionPool;
using platform::URLResponse;

namespace {

// Reads the ids an encoding poll reported, the "value" of the answer in the open file fd, and takes
// each out of pending (indexes into ids) once: the first entry equal to it, in pending's order.
// A few bytes a pending id and a binary search a reported one, however long either list is.
// Returns false, leaving pending as it was, when the answer holds no such list (an error body, or
// not JSON): polling again at once would then never end.
bool TakeOutReported(int fd, const IdList& ids, std::vector<std::uint32_t>& pending) {
  // pending's positions sorted by id, equal ids in pending's order; taken[k]: how many of the
  // equal run starting at sorted position k were reported.
  std::vector<std::uint32_t> sorted(pending.size());
  for (std::uint32_t k = 0; k < sorted.size(); ++k) sorted[k] = k;
  std::stable_sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
    return ids[pending[a]] < ids[pending[b]];
  });
  std::vector<std::uint32_t> taken(pending.size(), 0);
  bool listed = false;
  JSONListEvents events;
  events.listStarted = [&] {
    listed = true;
    std::fill(taken.begin(), taken.end(), 0);
  };
  events.member = [&](std::string_view key, const JSON&) { listed = listed && key != P::Value; };
  events.element = [&](std::size_t, const JSON& element, std::size_t, std::size_t) {
    const std::string id = element.stringValue();
    const auto [first, last] =
        std::equal_range(sorted.begin(), sorted.end(), id, [&](const auto& a, const auto& b) {
          if constexpr (std::is_same_v<std::decay_t<decltype(a)>, std::string>) {
            return std::string_view(a) < ids[pending[b]];
          } else {
            return ids[pending[a]] < std::string_view(b);
          }
        });
    const auto at = static_cast<std::size_t>(first - sorted.begin());
    if (first != last && taken[at] < static_cast<std::size_t>(last - first)) ++taken[at];
  };
  if (!ReadJSONList(fd, P::Value, events) || !listed) return false;
  std::vector<char> reported(pending.size(), 0);
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    for (std::uint32_t n = 0; n < taken[k]; ++n) reported[sorted[k + n]] = 1;
  }
  std::size_t kept = 0;
  for (std::size_t k = 0; k < pending.size(); ++k) {
    if (!reported[k]) pending[kept++] = pending[k];
  }
  pending.resize(kept);
  return true;
}

}  // namespace

void Api::InitUploadResource(const std::string& containerId, const std::vector<JSON>& files,
                             JSONCompletion onCompleted) {
  SendForJSON(InitUploadResourcesUrl(containerId),
              Call{.method = "PUT",
                   .body = JSON{{"value", JSON(files)}},
                   .maxAnswerBytes = ReservationAnswerLimit},
              std::move(onCompleted));
}

void Api::ReserveUploads(const std::string& containerId, std::optional<std::string> body,
                         std::function<void(std::optional<Reservation>)> onCompleted) {
  // The answer goes to a file, and each resource is read from there when its upload starts.
  SendForFile(
      InitUploadResourcesUrl(containerId),
      Call{.method = "PUT", .text = std::move(body), .maxAnswerBytes = ReservationAnswerLimit},
      [onCompleted = std::move(onCompleted)](std::optional<std::filesystem::path> file,
                                             std::optional<URLResponse>) {
        if (!file) return onCompleted(std::nullopt);
        onCompleted(Reservation::Read(*file));
      });
}

std::optional<std::string> Api::UploadUrl(const std::string& storageUrl,
                                          const UploadInfo& uploadInfo) {
  if (!uploadInfo.UploadResource) return std::nullopt;
  const JSON& resource = *uploadInfo.UploadResource;
  // The item name is escaped for the service, not for a URL: a "#" or a tab would end or break
  // the address, so whatever cannot stand in a path is percent-encoded; the store decodes it.
  return storageUrl + resource[P::Id].stringValue() + "-o/" +
         PercentEncodePathAllowed(uploadInfo.ItemName) + resource[P::Sas].stringValue();
}

void Api::UploadFile(const std::string& storageUrl, const UploadInfo& uploadInfo,
                     std::function<void(UploadInfo, UploadOutcome)> onCompleted,
                     UploadAttempts attempts) {
  // One copy of uploadInfo, moved on from there: the completion runs once. (A plain capture of the
  // const reference would hold a const copy, copied again at every move of the completion.)
  PutBlob(uploadUrlSession, uploadThrottle, UploadUrl(storageUrl, uploadInfo), uploadInfo.FilePath,
          attempts,
          [info = uploadInfo, onCompleted = std::move(onCompleted)](UploadOutcome outcome) mutable {
            onCompleted(std::move(info), outcome);
          });
}

void Api::TriggerEncoding(const UploadInfo& uploadInfo,
                          std::function<void(bool accepted)> onCompleted) {
  // Serialised straight from the resource: a copy of its tree would only be serialised and freed.
  Send(TriggerEncodingUrl(),
       Call{.method = "PUT",
            .text =
                uploadInfo.UploadResource ? CompactText(*uploadInfo.UploadResource) : std::nullopt,
            .repeatable = true},
       [onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse> response) {
         onCompleted(data && response && response->statusCode >= 200 && response->statusCode < 300);
       });
}

void Api::WaitForEncodingToComplete(std::vector<std::string> idsInput, JSONCompletion onCompleted) {
  auto ids = std::make_shared<IdList>();
  for (const std::string& id : idsInput) ids->add(id);
  WaitForEncodingToComplete(std::move(ids), std::move(onCompleted));
}

void Api::WaitForEncodingToComplete(std::shared_ptr<const IdList> ids, JSONCompletion onCompleted) {
  const auto deadline = std::chrono::steady_clock::now() + options_.encodingWaitLimit;
  std::vector<std::uint32_t> pending(ids->size());
  for (std::uint32_t n = 0; n < pending.size(); ++n) pending[n] = n;
  PollEncoding(std::move(ids), std::move(pending), deadline, std::move(onCompleted));
}

void Api::PollEncoding(std::shared_ptr<const IdList> ids, std::vector<std::uint32_t> pending,
                       std::chrono::steady_clock::time_point deadline, JSONCompletion onCompleted) {
  const auto started = std::chrono::steady_clock::now();
  if (pending.empty() || started >= deadline) {
    CompletionPool::shared().async(
        [onCompleted = std::move(onCompleted)] { onCompleted(std::nullopt); });
    return;
  }
  // The first poll of a large task names every id, and its answer may list every one: the body
  // goes from a file written a piece at a time, held whole only when no file can be written, and
  // the answer is read from its file.
  const auto add = [&](JSONListWriter& body, std::size_t k) {
    body.add(JSON(std::string((*ids)[pending[k]])));
  };
  Call call{.method = "POST",
            .bodyFile = BodyFile::List(P::Value, pending.size(), add),
            .repeatable = true};
  if (!call.bodyFile) {
    JSONListWriter body(P::Value);
    body.reserve(pending.size() * 40 + 16);  // an id of 36 or less, quoted, with its comma
    for (std::size_t k = 0; k < pending.size(); ++k) add(body, k);
    call.text = std::move(body).finish();
  }
  SendForFile(state->baseUrl + "api/anonymous/longpollingstates", std::move(call),
              [self = shared_from_this(), ids = std::move(ids), pending = std::move(pending),
               deadline, started, onCompleted = std::move(onCompleted)](
                  std::optional<std::filesystem::path> file, std::optional<URLResponse>) mutable {
                if (!file) return onCompleted(std::nullopt);
                const std::size_t asked = pending.size();
                const std::unique_ptr<std::FILE, int (*)(std::FILE*)> answer(
                    std::fopen(file->c_str(), "rbe"), &std::fclose);
                if (!answer || !TakeOutReported(::fileno(answer.get()), *ids, pending)) {
                  return onCompleted(std::nullopt);
                }
                // Progress is followed at once. A service that answers a long poll at once with
                // nothing new, again and again, is asked at most once a period; a poll that was
                // held open long enough is followed at once.
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                    started + self->options_.encodingPollPeriod - std::chrono::steady_clock::now());
                if (pending.size() < asked || wait <= std::chrono::milliseconds::zero()) {
                  return self->PollEncoding(std::move(ids), std::move(pending), deadline,
                                            std::move(onCompleted));
                }
                CompletionPool::shared().asyncAfter(
                    wait, [self, ids = std::move(ids), pending = std::move(pending), deadline,
                           onCompleted = std::move(onCompleted)]() mutable {
                      self->PollEncoding(std::move(ids), std::move(pending), deadline,
                                         std::move(onCompleted));
                    });
              });
}

}  // namespace vorelia
