// The upload pipeline: reservation, blob upload, encoding trigger and the encoding long poll.
#include <algorithm>
#include <utility>

#include "api/api.h"
#include "model/keys.h"

namespace vorelia {

using platform::CompletionPool;
using platform::URLResponse;

void Api::InitUploadResource(const std::string& containerId, const std::vector<JSON>& files,
                             JSONCompletion onCompleted) {
  SendForJSON(InitUploadResourcesUrl(containerId),
              Call{"PUT", true, JSON{{"value", JSON(files)}}, std::nullopt},
              std::move(onCompleted));
}

std::optional<std::string> Api::UploadUrl(const std::string& storageUrl,
                                          const UploadInfo& uploadInfo) {
  if (!uploadInfo.UploadResource) return std::nullopt;
  const JSON& resource = *uploadInfo.UploadResource;
  return storageUrl + resource[P::Id].stringValue() + "-o/" + uploadInfo.ItemName +
         resource[P::Sas].stringValue();
}

void Api::UploadFile(const std::string& storageUrl, const UploadInfo& uploadInfo,
                     std::function<void(UploadInfo, bool)> onCompleted) {
  PutBlob(uploadUrlSession, uploadThrottle, UploadUrl(storageUrl, uploadInfo), uploadInfo.FilePath,
          [uploadInfo, onCompleted = std::move(onCompleted)](bool uploaded) {
            onCompleted(uploadInfo, uploaded);
          });
}

void Api::TriggerEncoding(const UploadInfo& uploadInfo, JSONCompletion onCompleted) {
  Send(TriggerEncodingUrl(),
       Call{.method = "PUT", .body = uploadInfo.UploadResource, .repeatable = true},
       [onCompleted = std::move(onCompleted)](
           std::optional<std::string>, std::optional<URLResponse>) { onCompleted(std::nullopt); });
}

void Api::WaitForEncodingToComplete(std::vector<std::string> idsInput, JSONCompletion onCompleted) {
  // No upload outlives its session's four-hour limit, so neither does waiting for its encoding.
  const auto deadline =
      std::chrono::steady_clock::now() + UploadSessionConfiguration().resourceTimeout;
  PollEncoding(std::move(idsInput), deadline, std::move(onCompleted));
}

void Api::PollEncoding(std::vector<std::string> pending,
                       std::chrono::steady_clock::time_point deadline, JSONCompletion onCompleted) {
  if (pending.empty() || std::chrono::steady_clock::now() >= deadline) {
    CompletionPool::shared().async(
        [onCompleted = std::move(onCompleted)] { onCompleted(std::nullopt); });
    return;
  }
  std::vector<JSON> ids(pending.begin(), pending.end());
  SendForJSON(
      state->baseUrl + "api/anonymous/longpollingstates",
      Call{.method = "POST", .body = JSON{{"value", JSON(std::move(ids))}}, .repeatable = true},
      [self = shared_from_this(), pending = std::move(pending), deadline,
       onCompleted = std::move(onCompleted)](std::optional<JSON> answer) mutable {
        // An answer without a list (an error body, or not JSON) ends the wait like a
        // failed poll: polling again at once would never end.
        const auto reported = answer ? (*answer)[P::Value].array() : std::nullopt;
        if (!reported) return onCompleted(std::nullopt);
        for (const auto& id : *reported) {
          const auto found = std::find(pending.begin(), pending.end(), id.stringValue());
          if (found != pending.end()) pending.erase(found);
        }
        self->PollEncoding(std::move(pending), deadline, std::move(onCompleted));
      });
}

}  // namespace vorelia
