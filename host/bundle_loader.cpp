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

struct InfoResult {
  BundleInfo info;
  std::string error;
};

InfoResult readInfo(const fs::path& bundle) {
  InfoResult result;
  std::error_code ec;
  const fs::path file = bundle / InfoFileName;
  if (!fs::is_regular_file(file, ec)) {
    result.error = "the folder has no Info.json";
    return result;
  }
  std::ifstream in(file);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object()) {
    result.error = "Info.json is not a JSON object";
    return result;
  }
  const auto text = [&](const char* key, std::string* out) {
    const auto it = json.find(key);
    if (it == json.end() || !it->is_string() || it->get<std::string>().empty()) {
      result.error = std::string("Info.json lacks the string \"") + key + "\"";
      return false;
    }
    *out = it->get<std::string>();
    return true;
  };
  if (!text("principalClass", &result.info.principalClass) ||
      !text("pluginVersion", &result.info.pluginVersion) ||
      !text("library", &result.info.library)) {
    return result;
  }
  const auto version = json.find("sdkVersion");
  if (version == json.end() || !version->is_number_unsigned() ||
      version->get<std::uint64_t>() > UINT32_MAX) {
    result.error = "Info.json lacks the number \"sdkVersion\"";
    return result;
  }
  result.info.sdkVersion = version->get<std::uint32_t>();
  if (fs::path(result.info.library).has_parent_path()) {
    result.error = "Info.json names a library outside the bundle folder";
  }
  return result;
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

LoadResult load(const fs::path& path) {
  std::error_code ec;
  fs::path bundle = fs::absolute(path, ec);
  if (ec) bundle = path;
  LoadResult result;
  const auto refuse = [&](const std::string& why) {
    result.error = "cannot load the bundle " + bundle.string() + ": " + why;
    return std::move(result);
  };
  if (!fs::is_directory(bundle, ec)) return refuse("it is not a folder");
  InfoResult info = readInfo(bundle);
  if (!info.error.empty()) return refuse(info.error);
  // Refuse before any of the library's code runs when its Info already says it does not fit.
  if (info.info.sdkVersion != COPluginSDKVersionCurrent) {
    return refuse(sdkMismatch(info.info.sdkVersion));
  }

  const fs::path libraryPath = bundle / info.info.library;
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
  LoadedPlugin::Instance instance(create(info.info.principalClass.c_str()), destroy);
  if (!instance) {
    return refuse("the library does not provide the principal class \"" + info.info.principalClass +
                  "\"");
  }
  result.plugin = std::make_unique<LoadedPlugin>(bundle, std::move(info.info), std::move(library),
                                                 std::move(instance));
  return result;
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

LoadResult loadBundle(const fs::path& path) {
  try {
    return load(path);
  } catch (const std::exception& e) {
    return LoadResult{nullptr, "cannot load the bundle " + path.string() + ": " + e.what()};
  }
}

fs::path pluginsDirectory() {
  return platform::libraryDirectory() / "Application Support" / "Capture One" / "Plug-ins";
}

BundleSearch findInstalledBundle() {
  const fs::path folder = pluginsDirectory();
  const fs::path preferred = folder / "VoreliaC1Plugin.coplugin";
  std::error_code ec;
  if (fs::is_directory(preferred, ec)) return {preferred, ""};
  std::vector<fs::path> bundles;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".coplugin") bundles.push_back(it->path());
  }
  if (bundles.empty()) {
    return {{},
            "no plugin bundle in " + folder.string() +
                " (name one with --bundle PATH or COHOST_BUNDLE)"};
  }
  return {*std::min_element(bundles.begin(), bundles.end()), ""};
}

}  // namespace vorelia::host
