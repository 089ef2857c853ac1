// The principal class: the one object the host creates from the bundle and through which every
// host call enters. The host calls every operation on its own thread; callbacks are called before
// the operation returns, on the calling thread. No exception leaves an operation: failures reach
// the host as false or an empty value plus the error slot.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/api.h"
#include "model/plugin_state.h"
#include "sdk/co_plugin_base.h"

namespace vorelia {

class VoreliaC1Plugin final : public COPluginBase, public COSettings, public COPublishingPlugin {
 public:
  // The name the bundle's Info file gives as its principal class.
  static constexpr const char* PrincipalClassName = "VoreliaC1Plugin";

  // Restores the login, writes the first-run defaults, loads the tagging options, creates the
  // service client and starts the update check. Never blocks on the network and never fails.
  // currentVersion is the version of the bundle that holds this code (the default build's
  // otherwise).
  VoreliaC1Plugin();
  explicit VoreliaC1Plugin(std::string currentVersion);
  ~VoreliaC1Plugin() override;

  COSettings* asSettings() override { return this; }
  COPublishingPlugin* asPublishingPlugin() override { return this; }

  // COSettings
  std::vector<COSettingsElementsGroup> settings(COError* error) override;
  bool didUpdateValue(const COValue& value, const std::string& identifier,
                      const COSettingsCallback& callback, COError* error) override;
  bool handle(COSettingsEvent event, const COSettingsItem& item, const COSettingsCallback& callback,
              COError* error) override;

  // COPublishingPlugin
  std::vector<std::shared_ptr<const COPluginAction>> publishingActionsFileCount(
      std::uint64_t fileCount, COError* error) override;
  std::optional<COPluginActionPublishResult> startPublishingTask(
      const COFileHandlingPluginTask& task, const COProgressBlock& progress,
      COError* error) override;
  std::vector<std::shared_ptr<COFileHandlingPluginTask>> tasks(
      const std::shared_ptr<const COPluginAction>& action, const std::vector<std::string>& files,
      COError* error) override;
  std::vector<COSettingsElementsGroup> settings(const COPluginAction& action,
                                                const COActionSettingsDictionary& settings,
                                                COError* error) override;
  bool didUpdateValue(const COValue& value, const std::string& identifier,
                      const COPluginAction& action, const COActionSettingsDictionary& settings,
                      COActionSettingsCallbackAction* callbackAction, COError* error) override;
  bool validate(const COActionSettingsDictionary& settings, const COPluginAction& action,
                COError* error) override;
  std::optional<COProcessSettings> processingSettings(const COPluginAction& action,
                                                      COError* error) override;
  COProcessingSettingsVisibilityOptions processingSettingsVisibility(
      const COPluginAction& action) override;

  // The page's groups. Each fills the group passed in.
  void autoTaggingSettings(COSettingsElementsGroup& group);
  void proofingSettings(COSettingsElementsGroup& group);
  void autoTaggingWrapperSettings(COSettingsElementsGroup& group);
  void connectionSettings(COSettingsElementsGroup& group);
  // The account-name check: 2 to 100 letters, digits, "_" or "-", first and last a letter or digit.
  bool isAccountValid(const std::string& name) const;
  // The e-mail address check.
  bool isValid(const std::string& email) const;

  // Fields, in this order.
  const std::shared_ptr<PluginState> state;
  const std::shared_ptr<Api> api;
  bool isHandlingAction = false;  // re-entrance guard of handle(); only handle() touches it

 private:
  static std::shared_ptr<PluginState> restoreState(std::string currentVersion);

  // Account events. Each throws a HostFailure for the host on failure.
  void logIn(const COSettingsCallback& callback);
  void createAccount(const COSettingsCallback& callback);
  void logOut(const COSettingsCallback& callback);
  // Waits for a token and caches it. Throws serverError when the request got no answer or a
  // server's fault (Api::TokenGrant), invalidUserNameOrPassword when the service refused.
  void obtainToken();
  // Starts the album list of the chosen account (when one is chosen) without waiting for it, so
  // that the publishing actions offer that account's albums rather than an earlier one's.
  void refreshAlbumsOfChosenAccount();
  // Waits for the related accounts, stores them and chooses the only one; returns them.
  std::vector<std::string> refreshAccounts();

  // The auto-tagging and proofing part of the page.
  bool didUpdateTaggingValue(const COValue& value, const std::string& identifier,
                             const COSettingsCallback& callback);
  void handleTaggingEvent(const std::string& identifier, const COSettingsCallback& callback);
};

}  // namespace vorelia
