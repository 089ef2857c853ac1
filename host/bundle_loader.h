// Loading a plugin bundle: a folder with Info.json (principal class, plugin version, SDK version
// and the library's file name) and the shared library, which exports COPluginSDKVersion,
// COPluginCreate and COPluginDestroy. Call from the host's main thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "result.h"
#include "sdk/co_plugin_base.h"

namespace vorelia::host {

// What a bundle's Info.json says.
struct BundleInfo {
  std::string principalClass;
  std::string pluginVersion;
  std::uint32_t sdkVersion = 0;
  std::string library;  // file name inside the bundle folder
};

// A bundle's library, open, and the one principal class instance made from it. Destroying it hands
// the instance to the bundle's COPluginDestroy and only then closes the library.
class LoadedPlugin {
 public:
  struct LibraryCloser {
    void operator()(void* handle) const;
  };
  using Library = std::unique_ptr<void, LibraryCloser>;
  using Instance = std::unique_ptr<COPluginBase, COPluginDestroyFunction>;

  // REQUIRES: instance was made by library's COPluginCreate and holds its COPluginDestroy.
  LoadedPlugin(std::filesystem::path bundle, BundleInfo info, Library library, Instance instance);
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;
  ~LoadedPlugin();

  COPluginBase& plugin() const { return *instance_; }
  const BundleInfo& info() const { return info_; }
  const std::filesystem::path& bundle() const { return bundle_; }

 private:
  std::filesystem::path bundle_;
  BundleInfo info_;
  Library library_;  // outlives instance_ (declared before it)
  Instance instance_;
};

// Loads the bundle at path and creates its principal class, never null. Refuses, with a message
// that says why and names the bundle, a folder without a readable Info.json, a library that does
// not load, one that lacks an entry point, one built for an SDK version other than
// COPluginSDKVersionCurrent, and a principal class the library does not provide. Never throws.
Result<std::unique_ptr<LoadedPlugin>> loadBundle(const std::filesystem::path& path);

// $HOME/Library/Application Support/Capture One/Plug-ins
std::filesystem::path pluginsDirectory();

// The bundle to load when none is named: VoreliaC1Plugin.coplugin in the plug-ins folder, or else
// the first *.coplugin there by name. Fails when there is none.
Result<std::filesystem::path> findInstalledBundle();

}  // namespace vorelia::host
