// The bundle's exported entry points: the only symbols the shared library makes visible. The host
// resolves them by name after loading the library, checks the SDK version, then creates the
// principal class by the name its Info file gives and later hands the instance back to be
// destroyed.
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "plugin/vorelia_c1_plugin.h"
#include "sdk/co_plugin_base.h"

#define VORELIA_EXPORT __attribute__((visibility("default")))

// The build names the version of the bundle this library goes into.
#ifndef VORELIA_PLUGIN_VERSION
#error "VORELIA_PLUGIN_VERSION must be defined"
#endif

extern "C" {

VORELIA_EXPORT std::uint32_t COPluginSDKVersion() { return COPluginSDKVersionCurrent; }

// Returns a new principal class instance owned by the host until it passes it to COPluginDestroy,
// or null for a name this bundle does not provide. No exception leaves: a constructor that throws
// is reported to the host as null.
VORELIA_EXPORT COPluginBase* COPluginCreate(const char* principalClass) {
  try {
    if (principalClass == nullptr ||
        std::strcmp(principalClass, vorelia::VoreliaC1Plugin::PrincipalClassName) != 0) {
      return nullptr;
    }
    return std::make_unique<vorelia::VoreliaC1Plugin>(VORELIA_PLUGIN_VERSION).release();
  } catch (...) {
    return nullptr;
  }
}

// Destroys an instance made by COPluginCreate, inside the library that allocated it. Null is
// ignored.
VORELIA_EXPORT void COPluginDestroy(COPluginBase* plugin) {
  std::unique_ptr<COPluginBase> owned(plugin);
}

}  // extern "C"

// The definitions above must keep the signatures the host resolves them as.
static_assert(std::is_same_v<decltype(&COPluginSDKVersion), COPluginSDKVersionFunction>);
static_assert(std::is_same_v<decltype(&COPluginCreate), COPluginCreateFunction>);
static_assert(std::is_same_v<decltype(&COPluginDestroy), COPluginDestroyFunction>);
