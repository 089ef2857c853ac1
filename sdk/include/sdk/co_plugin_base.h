// The principal class of a plugin and the protocols it adopts. The host calls every operation on
// its own thread; callbacks passed in are called before the operation returns, on that thread.
// Operations that can fail return false or an empty value and, when error is not null, fill *error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/co_publishing.h"
#include "sdk/co_settings.h"
#include "sdk/co_value.h"

// The plugin's page in the host's preferences.
class COSettings {
 public:
  virtual ~COSettings() = default;
  virtual std::vector<COSettingsElementsGroup> settings(COError* error) = 0;
  virtual bool didUpdateValue(const COValue& value, const std::string& identifier,
                              const COSettingsCallback& callback, COError* error) = 0;
  virtual bool handle(COSettingsEvent event, const COSettingsItem& item,
                      const COSettingsCallback& callback, COError* error) = 0;
};

// Turning the files the host exported into tasks.
class COFileHandling {
 public:
  virtual ~COFileHandling() = default;
  virtual std::vector<std::shared_ptr<COFileHandlingPluginTask>> tasks(
      const std::shared_ptr<const COPluginAction>& action, const std::vector<std::string>& files,
      COError* error) = 0;
};

// The export settings the host applies for an action.
class COVariantProcessing {
 public:
  virtual ~COVariantProcessing() = default;
  virtual std::optional<COProcessSettings> processingSettings(const COPluginAction& action,
                                                              COError* error) = 0;
  virtual COProcessingSettingsVisibilityOptions processingSettingsVisibility(
      const COPluginAction& action) = 0;
};

// The per-action settings panel.
class COActionSettings {
 public:
  virtual ~COActionSettings() = default;
  virtual std::vector<COSettingsElementsGroup> settings(const COPluginAction& action,
                                                        const COActionSettingsDictionary& settings,
                                                        COError* error) = 0;
  virtual bool didUpdateValue(const COValue& value, const std::string& identifier,
                              const COPluginAction& action,
                              const COActionSettingsDictionary& settings,
                              COActionSettingsCallbackAction* callbackAction, COError* error) = 0;
  virtual bool validate(const COActionSettingsDictionary& settings, const COPluginAction& action,
                        COError* error) = 0;
};

// Publishing actions and the tasks behind them.
class COPublishingPlugin : public COFileHandling,
                           public COVariantProcessing,
                           public COActionSettings {
 public:
  virtual std::vector<std::shared_ptr<const COPluginAction>> publishingActionsFileCount(
      std::uint64_t fileCount, COError* error) = 0;
  // Runs the task to its end on the calling thread; progress is called on any thread.
  virtual std::optional<COPluginActionPublishResult> startPublishingTask(
      const COFileHandlingPluginTask& task, const COProgressBlock& progress, COError* error) = 0;
};

// Base class of every principal class. The host asks which protocols an instance adopts through
// the two accessors below (null: not adopted) rather than by casting across the library boundary.
class COPluginBase {
 public:
  COPluginBase() = default;
  COPluginBase(const COPluginBase&) = delete;
  COPluginBase& operator=(const COPluginBase&) = delete;
  virtual ~COPluginBase() = default;

  virtual COSettings* asSettings() { return nullptr; }
  virtual COPublishingPlugin* asPublishingPlugin() { return nullptr; }
};

// The SDK version a bundle must be built for to be loaded.
inline constexpr std::uint32_t COPluginSDKVersionCurrent = 1;

// Every bundle's shared library exports these three C symbols (and nothing else is needed):
//   std::uint32_t COPluginSDKVersion();          the SDK version it was built for
//   COPluginBase* COPluginCreate(const char* principalClass);
//                                                a new principal class instance, or null when the
//                                                name is not one the bundle provides
//   void COPluginDestroy(COPluginBase* plugin);  destroys an instance made by COPluginCreate
extern "C" {
using COPluginSDKVersionFunction = std::uint32_t (*)();
using COPluginCreateFunction = COPluginBase* (*)(const char* principalClass);
using COPluginDestroyFunction = void (*)(COPluginBase* plugin);
}
inline constexpr const char* COPluginSDKVersionSymbol = "COPluginSDKVersion";
inline constexpr const char* COPluginCreateSymbol = "COPluginCreate";
inline constexpr const char* COPluginDestroySymbol = "COPluginDestroy";
