// PublishShare: the web-gallery and proofing workflow. Turns the exported files into an album on
// the service (found by name or created), uploads them four at a time straight to blob storage,
// lets the service encode them, orders them as exported and returns the album's share link (or,
// for proofing, its proofing link). Never throws: every failure ends in a result with a message.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "api/api.h"
#include "model/plugin_state.h"
#include "publish/publish_service.h"

namespace vorelia {

class PublishShare final : public PublishService {
 public:
  PublishShare(std::shared_ptr<PluginState> state, std::shared_ptr<Api> api)
      : state(std::move(state)), api(std::move(api)) {}

  PublishResult DoPublish(const PublishTask& task, const PublishProgress& progress) override;

  // The name for a new album: the "albumName-input" setting when it is a non-empty string, else
  // "C1_" and the local date and time (C1_2019_3_7_14:5 for 7 March 2019, 14:05).
  static std::string GetAlbumName(
      const PublishSettings& settings,
      std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
  // The account state and the album list, fetched together; absent parts failed.
  std::pair<std::optional<JSON>, std::optional<JSON>> loadAccountStateAndContainers();

  const std::shared_ptr<PluginState> state;
  const std::shared_ptr<Api> api;

 private:
  // The album to publish into (found, or created), or absent.
  std::optional<JSON> findOrCreateAlbum(const std::vector<JSON>& containers,
                                        const PublishSettings& settings);
};

}  // namespace vorelia
