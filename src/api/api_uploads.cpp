// The upload pipeline: reservation, blob upload, encoding trigger and the encoding long poll.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"
#include "model/json_list.h"
#include "model/keys.h"

namespace vorelia {

using platform::CompletionPool;
using platform::URLResponse;

namespace {

// Reads the ids an encoding poll reported, the answer's "value", and takes each out of pending
// once (the first entry equal to it), in one pass over each list however long they are. Returns
// false, leaving pending as it was, when the answer holds no such list (an error body, or not
// JSON): polling again at once would then never end.
bool TakeOutReported(std::string_view answer, std::vector<std::string>& pending) {
  std::unordered_map<std::string_view, std::size_t> times;  // how often each pending id came
  for (const std::string& id : pending) times.emplace(id, 0);
  bool listed = false;
  JSONListEvents events;
  events.listStarted = [&] {
    listed = true;
    for (auto& entry : times) entry.second = 0;
  };
  events.member = [&](std::string_view key, const JSON&) { listed = listed && key != P::Value; };
  events.element = [&](std::size_t, const JSON& id, std::size_t, std::size_t) {
    if (const auto found = times.find(id.stringValue()); found != times.end()) ++found->second;
  };
  if (!ReadJSONList(answer, P::Value, events) || !listed) return false;
  std::vector<char> reported(pending.size(), 0);
  for (std::size_t i = 0; i < pending.size(); ++i) {
    auto& left = times.find(pending[i])->second;
    if (left > 0) {
      --left;
      reported[i] = 1;
    }
  }
  times.clear();  // its keys are views of what is about to move
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (reported[i]) continue;
    if (kept != i) pending[kept] = std::move(pending[i]);  // never onto itself
    ++kept;
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
  PutBlob(uploadUrlSession, uploadThrottle, UploadUrl(storageUrl, uploadInfo), uploadInfo.FilePath,
          attempts, [uploadInfo, onCompleted = std::move(onCompleted)](UploadOutcome outcome) {
            onCompleted(uploadInfo, outcome);
          });
}

void Api::TriggerEncoding(const UploadInfo& uploadInfo,
                          std::function<void(bool accepted)> onCompleted) {
  Send(TriggerEncodingUrl(),
       Call{.method = "PUT", .body = uploadInfo.UploadResource, .repeatable = true},
       [onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse> response) {
         onCompleted(data && response && response->statusCode >= 200 && response->statusCode < 300);
       });
}

void Api::WaitForEncodingToComplete(std::vector<std::string> idsInput, JSONCompletion onCompleted) {
  const auto deadline = std::chrono::steady_clock::now() + options_.encodingWaitLimit;
  PollEncoding(std::move(idsInput), deadline, std::move(onCompleted));
}

void Api::PollEncoding(std::vector<std::string> pending,
                       std::chrono::steady_clock::time_point deadline, JSONCompletion onCompleted) {
  const auto started = std::chrono::steady_clock::now();
  if (pending.empty() || started >= deadline) {
    CompletionPool::shared().async(
        [onCompleted = std::move(onCompleted)] { onCompleted(std::nullopt); });
    return;
  }
  JSONListWriter body(P::Value);
  for (const std::string& id : pending) body.add(JSON(id));
  Send(state->baseUrl + "api/anonymous/longpollingstates",
       Call{.method = "POST", .text = std::move(body).finish(), .repeatable = true},
       [self = shared_from_this(), pending = std::move(pending), deadline, started,
        onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse>) mutable {
         if (!data) return onCompleted(std::nullopt);
         const std::size_t asked = pending.size();
         if (!TakeOutReported(*data, pending)) return onCompleted(std::nullopt);
         // Progress is followed at once. A service that answers a long poll at once with
         // nothing new, again and again, is asked at most once a period; a poll that was held
         // open long enough is followed at once.
         const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
             started + self->options_.encodingPollPeriod - std::chrono::steady_clock::now());
         if (pending.size() < asked || wait <= std::chrono::milliseconds::zero()) {
           return self->PollEncoding(std::move(pending), deadline, std::move(onCompleted));
         }
         CompletionPool::shared().asyncAfter(
             wait, [self, pending = std::move(pending), deadline,
                    onCompleted = std::move(onCompleted)]() mutable {
               self->PollEncoding(std::move(pending), deadline, std::move(onCompleted));
             });
       });
}

}  // namespace vorelia
