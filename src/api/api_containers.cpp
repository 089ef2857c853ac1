// Containers: the albums of the selected account.
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"
#include "model/keys.h"

namespace vorelia {

void Api::CreateContainerIfNotExists(const JSON& payload, JSONCompletion onCompleted) {
  // The path carries the name escaped; the body carries it as given.
  const std::string segment = AlbumPathSegment(payload[P::Name].stringValue());
  SendForJSON(ContainersUrl(segment, false), Call{.method = "PUT", .body = payload},
              std::move(onCompleted));
}

void Api::GetContainers(bool expand, JSONCompletion onCompleted) {
  SendForJSON(ContainersUrl("", expand), Call{}, std::move(onCompleted));
}

void Api::RefreshContainers() {
  // One refresh at a time: a call during another is dropped, not queued.
  if (state->isRefreshingContainers.exchange(true)) return;
  // The request goes out from the pool: a token grant it may need must not hold up the caller.
  platform::CompletionPool::shared().async([self = shared_from_this()] {
    const auto account = self->state->account.get();
    self->SendForJSON(
        self->ContainersUrl("", true), Call{},
        [weak = self->weak_from_this(), state = self->state, account](std::optional<JSON> answer) {
          // Another account was chosen while the list was on its way, and a refresh for it may
          // have been dropped meanwhile: that list is not kept, the chosen account's is asked for.
          if (state->account.get() != account) {
            state->isRefreshingContainers = false;
            if (const auto api = weak.lock()) api->RefreshContainers();
            return;
          }
          if (answer) {
            // An answer without a "value" array (an error body) empties the list.
            state->containers.set((*answer)[P::Value].array().value_or(std::vector<JSON>{}));
          }
          state->isRefreshingContainers = false;
        });
  });
}

void Api::ReorderContainer(const std::string& containerId, JSON payload,
                           JSONCompletion onCompleted) {
  ReorderContainer(containerId, payload.rawData(), std::move(onCompleted));
}

void Api::GetShareUrl(const JSON& payload, JSONCompletion onCompleted) {
  SendForJSON(ShareUrl(), Call{.method = "POST", .body = payload}, std::move(onCompleted));
}

void Api::ReorderContainer(const std::string& containerId, std::optional<std::string> payloadText,
                           JSONCompletion onCompleted) {
  // Setting the same order twice is setting it once.
  SendForJSON(ReorderUrl(containerId),
              Call{.method = "POST",
                   .text = std::move(payloadText),
                   .contentType = "application/json",
                   .repeatable = true},
              std::move(onCompleted));
}

void Api::ReorderContainer(const std::string& containerId, std::shared_ptr<const BodyFile> payload,
                           JSONCompletion onCompleted) {
  SendForJSON(ReorderUrl(containerId),
              Call{.method = "POST",
                   .bodyFile = std::move(payload),
                   .contentType = "application/json",
                   .repeatable = true},
              std::move(onCompleted));
}

}  // namespace vorelia
