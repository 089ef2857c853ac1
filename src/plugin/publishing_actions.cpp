#include "plugin/publishing_actions.h"

#include <string>

#include "model/keys.h"
#include "plugin/bundle_location.h"

namespace vorelia {
namespace {

std::shared_ptr<const COPluginAction> MakeAction(const char* displayName,
                                                 std::string_view identifier,
                                                 const std::shared_ptr<const COImage>& icon) {
  auto action = std::make_shared<COPluginAction>(displayName);
  action->identifier = std::string(identifier);
  action->image = icon;
  return action;
}

PublishingActions BuildActions() {
  std::shared_ptr<const COImage> icon;
  if (const auto path = bundleIconPath()) {
    icon = COImage::Load(path->string());
  }
  return PublishingActions{
      MakeAction("Vorelia - Login first to publish", Publish::Login, icon),
      MakeAction("Vorelia - Share web gallery", Publish::Share, icon),
      MakeAction("Vorelia - Computer Vision Tags", Publish::AI, icon),
      MakeAction("Vorelia - Proofing", Publish::Proofing, icon),
  };
}

}  // namespace

const PublishingActions& PublishingActions::shared() {
  static const PublishingActions actions = BuildActions();  // built once, thread-safe
  return actions;
}

}  // namespace vorelia
