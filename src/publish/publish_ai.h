// PublishAi: the auto-tagging workflow. Sends every exported image to the service's vision
// analysis, one after another, collects the keywords and descriptions that come back, and writes
// them into the host's catalogue with the keyword script. Every result carries the address of the
// service's public web site.
//
// Throws PluginError for the three refusals that come before any request: no tagging option
// chosen, an exported file outside the analysis limits, not enough credits.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "api/api.h"
#include "model/json.h"
#include "model/plugin_state.h"
#include "publish/publish_service.h"

namespace vorelia {

class PublishAi final : public PublishService {
 public:
  PublishAi(std::shared_ptr<PluginState> state, std::shared_ptr<Api> api)
      : state(std::move(state)), api(std::move(api)) {}

  // Runs the whole task on the calling thread, including the keyword script, which may wait for
  // the user to choose a document in the host. Progress is reported from the calling thread.
  PublishResult DoPublish(const PublishTask& task, const PublishProgress& progress) override;

  // Whether an exported file meets the analysis limits: its extension is "jpg" in any case; when
  // its header reads, each side has 256 to 4096 pixels; its size is known and below 4,000,000
  // bytes.
  static bool conformImage(const std::string& filePath);
  // Credits one image costs with the tagging options now set: 1 for general concepts, 1 for faces,
  // 2.5 for a description, 1.5 for each of the others.
  double costPerImage() const;
  // The analysis request for the exported file name: its name, escaped name, the option flags
  // as set now, no colours, English.
  JSON analysisPayload(const std::string& name) const;

  const std::shared_ptr<PluginState> state;
  const std::shared_ptr<Api> api;
};

}  // namespace vorelia
