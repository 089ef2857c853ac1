#include "bundle_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/user_directories.h"

namespace vorelia::host {

namespace fs = std::filesystem;

namespace {

constexpr const char* InfoFileName = "Info.json";

Result<BundleInfo> readInfo(const fs::path& bundle) {
  std::error_code ec;
  const fs::path file = bundle / InfoFileName;
  if (!fs::is_regular_file(file, ec)) return Failure{"the folder has no Info.json"};
  std::ifstream in(file);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object()) return Failure{"Info.json is not a JSON object"};
  const char* lacking = nullptr;  // the first string member that is not there
  const auto text = [&](const char* key) {
    const auto it = json.find(key);
    if (it != json.end() && it->is_string() && !it->get<std::string>().empty()) {
      return it->get<std::string>();
    }
    if (lacking == nullptr) lacking = key;
    return std::string();
  };
  BundleInfo info{.principalClass = text("principalClass"),
                  .pluginVersion = text("pluginVersion"),
                  .library = text("library")};
  if (lacking != nullptr) {
    return Failure{std::string("Info.json lacks the string \"") + lacking + "\""};
  }
  const auto version = json.find("sdkVersion");
  if (version == json.end() || !version->is_number_unsigned() ||
      version->get<std::uint64_t>() > UINT32_MAX) {
    return Failure{"Info.json lacks the number \"sdkVersion\""};
  }
  info.sdkVersion = version->get<std::uint32_t>();
  if (fs::path(info.library).has_parent_path()) {
    return Failure{"Info.json names a library outside the bundle folder"};
  }
  return info;
}

std::string sdkMismatch(std::uint32_t version) {
  return "built for SDK version " + std::to_string(version) + ", this host supports " +
         std::to_string(COPluginSDKVersionCurrent);
}

// Resolves name in library as a function of type Function, or null.
template <typename Function>
Function resolve(void* library, const char* name) {
  return reinterpret_cast<Function>(dlsym(library, name));
}

Result<std::unique_ptr<LoadedPlugin>> load(const fs::path& path) {
  std::error_code ec;
  fs::path bundle = fs::absolute(path, ec);
  if (ec) bundle = path;
  const auto refuse = [&](const std::string& why) {
    return Failure{"cannot load the bundle " + bundle.string() + ": " + why};
  };
  if (!fs::is_directory(bundle, ec)) return refuse("it is not a folder");
  Result<BundleInfo> info = readInfo(bundle);
  if (!info) return refuse(info.error());
  // Refuse before any of the library's code runs when its Info already says it does not fit.
  if (info->sdkVersion != COPluginSDKVersionCurrent) return refuse(sdkMismatch(info->sdkVersion));

  const fs::path libraryPath = bundle / info->library;
  dlerror();
  // RTLD_NODELETE: the plugin's own threads (its completion pool lives until the process ends) may
  // still run its code after dlclose, so the library stays mapped, as a bundle on macOS does.
  LoadedPlugin::Library library(dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!library) {
    const char* why = dlerror();
    return refuse(std::string("the library does not load: ") + (why ? why : "unknown reason"));
  }
  const auto version = resolve<COPluginSDKVersionFunction>(library.get(), COPluginSDKVersionSymbol);
  const auto create = resolve<COPluginCreateFunction>(library.get(), COPluginCreateSymbol);
  const auto destroy = resolve<COPluginDestroyFunction>(library.get(), COPluginDestroySymbol);
  const char* missing = version == nullptr   ? COPluginSDKVersionSymbol
                        : create == nullptr  ? COPluginCreateSymbol
                        : destroy == nullptr ? COPluginDestroySymbol
                                             : nullptr;
  if (missing != nullptr) return refuse(std::string("the library does not export ") + missing);
  if (const std::uint32_t built = version(); built != COPluginSDKVersionCurrent) {
    return refuse(sdkMismatch(built));
  }
  LoadedPlugin::Instance instance(create(info->principalClass.c_str()), destroy);
  if (!instance) {
    return refuse("the library does not provide the principal class \"" + info->principalClass +
                  "\"");
  }
  return std::make_unique<LoadedPlugin>(bundle, std::move(*info), std::move(library),
                                        std::move(instance));
}

}  // namespace

LoadedPlugin::LoadedPlugin(fs::path bundle, BundleInfo info, Library library, Instance instance)
    : bundle_(std::move(bundle)),
      info_(std::move(info)),
      library_(std::move(library)),
      instance_(std::move(instance)) {}

LoadedPlugin::~LoadedPlugin() {
  instance_.reset();  // through the bundle's own COPluginDestroy, while its code is still mapped
  library_.reset();
}

void LoadedPlugin::LibraryCloser::operator()(void* handle) const { dlclose(handle); }

Result<std::unique_ptr<LoadedPlugin>> loadBundle(const fs::path& path) {
  try {
    return load(path);
  } catch (const std::exception& e) {
    return Failure{"cannot load the bundle " + path.string() + ": " + e.what()};
  }
}

fs::path pluginsDirectory() {
  return platform::libraryDirectory() / "Application Support" / "Capture One" / "Plug-ins";
}

Result<fs::path> findInstalledBundle() {
  const fs::path folder = pluginsDirectory();
  const fs::path preferred = folder / "VoreliaC1Plugin.coplugin";
  std::error_code ec;
  if (fs::is_directory(preferred, ec)) return preferred;
  std::vector<fs::path> bundles;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".coplugin") bundles.push_back(it->path());
  }
  if (bundles.empty()) {
    return Failure{"no plugin bundle in " + folder.string() +
                   " (name one with --bundle PATH or COHOST_BUNDLE)"};
  }
  return *std::min_element(bundles.begin(), bundles.end());
}

}  // namespace vorelia::host
