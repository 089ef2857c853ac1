// The upload pipeline: reservation, blob upload, encoding trigger and the encoding long poll.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"
#include "model/keys.h"

namespace vorelia {

using platform::CompletionPool;
using platform::URLResponse;

void Api::InitUploadResource(const std::string& containerId, const std::vector<JSON>& files,
                             JSONCompletion onCompleted) {
  Send(InitUploadResourcesUrl(containerId),
       Call{.method = "PUT",
            .body = JSON{{"value", JSON(files)}},
            .maxAnswerBytes = ReservationAnswerLimit},
       [onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse>) {
         if (!data) return onCompleted(std::nullopt);
         onCompleted(JSON::ParseKeepingListAsText(*data, P::Value));
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
  std::vector<JSON> ids(pending.begin(), pending.end());
  SendForJSON(
      state->baseUrl + "api/anonymous/longpollingstates",
      Call{.method = "POST", .body = JSON{{"value", JSON(std::move(ids))}}, .repeatable = true},
      [self = shared_from_this(), pending = std::move(pending), deadline, started,
       onCompleted = std::move(onCompleted)](std::optional<JSON> answer) mutable {
        // An answer without a list (an error body, or not JSON) ends the wait like a
        // failed poll: polling again at once would never end.
        const auto reported = answer ? (*answer)[P::Value].array() : std::nullopt;
        if (!reported) return onCompleted(std::nullopt);
        const std::size_t asked = pending.size();
        // Each reported id takes out the first pending entry equal to it, in one pass over each
        // list however long they are.
        std::unordered_map<std::string, std::size_t> times;
        for (const auto& id : *reported) ++times[id.stringValue()];
        std::erase_if(pending, [&times](const std::string& id) {
          const auto found = times.find(id);
          if (found == times.end() || found->second == 0) return false;
          --found->second;
          return true;
        });
        // Progress is followed at once. A service that answers a long poll at once with
        // nothing new, again and again, is asked at most once a period; a poll that was held
        // open long enough is followed at once.
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            started + self->options_.encodingPollPeriod - std::chrono::steady_clock::now());
        if (pending.size() < asked || wait <= std::chrono::milliseconds::zero()) {
          return self->PollEncoding(std::move(pending), deadline, std::move(onCompleted));
        }
        CompletionPool::shared().asyncAfter(wait, [self, pending = std::move(pending), deadline,
                                                   onCompleted = std::move(onCompleted)]() mutable {
          self->PollEncoding(std::move(pending), deadline, std::move(onCompleted));
        });
      });
}

}  // namespace vorelia
