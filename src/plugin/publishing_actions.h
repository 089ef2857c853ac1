// The four publishing actions the plugin offers, each built once and shared.
#pragma once

#include <memory>

#include "sdk/co_publishing.h"

namespace vorelia {

struct PublishingActions {
  std::shared_ptr<const COPluginAction> publishToLoginAction;
  std::shared_ptr<const COPluginAction> publishToShareAction;
  std::shared_ptr<const COPluginAction> publishToAiAction;
  std::shared_ptr<const COPluginAction> publishToProofingAction;

  // The shared actions, built on first use. Each carries the plugin's icon from its own bundle.
  static const PublishingActions& shared();
};

}  // namespace vorelia
