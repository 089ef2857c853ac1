// The Secret Service store (libsecret): each secret is an item of the schema
// "com.vorelia.VoreliaC1Plugin.secret" with the attribute "account" set to its key, in the default
// collection. Secrets travel as SecretValue bytes, so any bytes survive.
#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/secret_store.h"

#if defined(__SANITIZE_THREAD__)
// GLib, GIO, GObject and libsecret are not built for ThreadSanitizer, which cannot see their own
// locks (futexes) and atomics and so reports races inside them that are not there. Calls made from
// those libraries go unchecked; every call from our code is still checked. Defined here because
// this file is what brings them into a program.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libsecret-1.so.0\n";
}
#endif

namespace vorelia::platform {
namespace {

constexpr const char* kAccount = "account";
// How long the Secret Service may take to answer the first ping (it may be started on demand).
constexpr auto kProbeTimeout = std::chrono::seconds(4);
constexpr gint kPingTimeoutMs = 3000;

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct SecretValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

// Collects a GError for a call and frees it afterwards. The message is never logged: it may quote
// what was being stored.
class ErrorSlot {
 public:
  GError** out() { return &error_; }
  bool failed() const { return error_ != nullptr; }
  ~ErrorSlot() { ErrorPtr free(error_); }

 private:
  GError* error_ = nullptr;
};

const SecretSchema* schema() {
  static const SecretSchema instance = [] {
    SecretSchema value{};
    value.name = "com.vorelia.VoreliaC1Plugin.secret";
    value.flags = SECRET_SCHEMA_NONE;
    value.attributes[0].name = kAccount;
    value.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return value;
  }();
  return &instance;
}

// D-Bus strings must be UTF-8 without NUL.
bool isDbusString(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// Connects to the session bus, pings the Secret Service and sets up libsecret's service object.
// Runs on a thread of its own; cancellable stops it.
bool serviceAnswers(GCancellable* cancellable) {
  ErrorSlot error;
  std::unique_ptr<GDBusConnection, GObjectUnref> bus(
      g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error.out()));
  if (!bus) return false;
  // The session bus going away must not take the host process down with it.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  GVariant* pong = g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.DBus.Peer",
      "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kPingTimeoutMs, cancellable, error.out());
  if (pong == nullptr) return false;
  g_variant_unref(pong);
  std::unique_ptr<SecretService, GObjectUnref> service(
      secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, error.out()));
  return service != nullptr &&
         std::unique_ptr<gchar, GFree>(g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service.get()))) !=
             nullptr;
}

// serviceAnswers() with a bound on the wait: a bus that hangs costs kProbeTimeout.
bool probeService() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') return false;  // never let GLib autolaunch a bus

  struct Outcome {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;      // guarded by mutex
    bool answered = false;  // guarded by mutex
  };
  auto outcome = std::make_shared<Outcome>();
  std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), GObjectUnref());
  try {
    std::thread([outcome, cancellable] {
      const bool answered = serviceAnswers(cancellable.get());
      std::scoped_lock lock(outcome->mutex);
      outcome->done = true;
      outcome->answered = answered;
      outcome->finished.notify_all();
    }).detach();  // holds its own references, so it may outlive a timed-out wait
  } catch (const std::system_error&) {
    return false;  // no thread to ask with
  }

  std::unique_lock lock(outcome->mutex);
  if (!outcome->finished.wait_for(lock, kProbeTimeout, [&] { return outcome->done; })) {
    g_cancellable_cancel(cancellable.get());
    return false;
  }
  return outcome->answered;
}

class LibsecretStore final : public SecretStore {
 public:
  bool save(const std::string& key, const std::string& secret) override {
    if (!isDbusString(key)) return false;
    std::unique_ptr<SecretValue, SecretValueUnref> value(
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
    const std::string label = "Vorelia (" + key + ")";
    ErrorSlot error;
    const gboolean stored = secret_password_store_binary_sync(
        schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr, error.out(),
        kAccount, key.c_str(), nullptr);
    return stored && !error.failed();
  }

  std::optional<std::string> load(const std::string& key) override {
    if (!isDbusString(key)) return std::nullopt;
    ErrorSlot error;
    std::unique_ptr<SecretValue, SecretValueUnref> value(secret_password_lookup_binary_sync(
        schema(), nullptr, error.out(), kAccount, key.c_str(), nullptr));
    if (!value || error.failed()) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return std::string(bytes, length);
  }

  bool remove(const std::string& key) override {
    if (!isDbusString(key)) return true;  // such a key can never have been stored
    ErrorSlot error;
    // FALSE without an error means there was nothing to remove, which is success too.
    secret_password_clear_sync(schema(), nullptr, error.out(), kAccount, key.c_str(), nullptr);
    return !error.failed();
  }
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::libsecret() {
  if (!probeService()) return nullptr;
  return std::make_shared<LibsecretStore>();
}

}  // namespace vorelia::platform
