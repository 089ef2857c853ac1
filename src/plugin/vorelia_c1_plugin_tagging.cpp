// The auto-tagging and proofing groups of the preference page. They are drawn only while connected;
// their elements and events come with the tagging options and the proofing ratings.
#include "plugin/vorelia_c1_plugin.h"

namespace vorelia {

void VoreliaC1Plugin::autoTaggingSettings(COSettingsElementsGroup&) {}

void VoreliaC1Plugin::proofingSettings(COSettingsElementsGroup&) {}

void VoreliaC1Plugin::autoTaggingWrapperSettings(COSettingsElementsGroup& group) {
  autoTaggingSettings(group);
}

bool VoreliaC1Plugin::didUpdateTaggingValue(const COValue&, const std::string&,
                                            const COSettingsCallback&) {
  return true;  // an identifier the page does not know is ignored
}

void VoreliaC1Plugin::handleTaggingEvent(const std::string&, const COSettingsCallback&) {
  // An identifier the page does not know: nothing happens, success without callback.
}

}  // namespace vorelia
