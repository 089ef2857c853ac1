#include "sandbox/upload_targets.h"

#include <httplib.h>

#include <ctime>

#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

constexpr const char* kSasVersion = "2020-12-06";

std::unique_ptr<httplib::Client> clientFor(const std::string& origin) {
  auto client = std::make_unique<httplib::Client>(origin);
  client->set_connection_timeout(std::chrono::seconds(10));
  client->set_read_timeout(std::chrono::seconds(30));
  return client;
}

}  // namespace

std::string azureTime(SystemClock::time_point time) {
  const std::time_t seconds = SystemClock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string percentEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                            c == '~' || (keepSlash && c == '/');
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

LocalUploadTarget::LocalUploadTarget(BlobStore& store, std::function<std::string()> serviceUrl,
                                     std::string container)
    : store_(store), serviceUrl_(std::move(serviceUrl)), container_(std::move(container)) {}

std::string LocalUploadTarget::storageUrl() const {
  return serviceUrl_() + "/blob/" + container_ + "/";
}

std::string LocalUploadTarget::signUpload(const std::string& blobName,
                                          SystemClock::time_point expiry) const {
  return "?" + store_.sign(container_ + "/" + blobName, "cw", expiry);
}

bool LocalUploadTarget::arrived(const std::string& blobName) const {
  return store_.size(container_ + "/" + blobName).has_value();
}

AzureUploadTarget::AzureUploadTarget(AzureStorageOptions options) : options_(std::move(options)) {
  std::string endpoint = options_.blobEndpoint;
  while (endpoint.ends_with('/')) endpoint.pop_back();
  const auto scheme = endpoint.find("://");
  const auto slash = endpoint.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  origin_ = slash == std::string::npos ? endpoint : endpoint.substr(0, slash);
  prefix_ = slash == std::string::npos ? std::string() : endpoint.substr(slash);
}

std::string AzureUploadTarget::serviceSas(const std::string& blobName,
                                          const std::string& permissions,
                                          SystemClock::time_point expiry) const {
  const std::string expiryText = azureTime(expiry);
  const std::string canonical =
      "/blob/" + options_.accountName + "/" + options_.container + "/" + blobName;
  // permissions, start, expiry, resource, identifier, IP, protocol, version, signed resource,
  // snapshot time, encryption scope, then the five response header overrides.
  const std::string toSign = permissions + "\n\n" + expiryText + "\n" + canonical + "\n\n\n\n" +
                             kSasVersion + "\nb\n\n\n\n\n\n\n";
  return std::string("sv=") + kSasVersion + "&sr=b&sp=" + permissions +
         "&se=" + percentEncode(expiryText, false) +
         "&sig=" + percentEncode(hmacSha256Base64(options_.accountKey, toSign), false);
}

std::optional<std::string> AzureUploadTarget::prepare() const {
  if (hmacSha256Base64(options_.accountKey, "probe").empty()) {
    return "the storage account key is not base64";
  }
  // An account signature for creating the container: services b, resource types s/c/o.
  const std::string version = kSasVersion;
  const std::string expiry = azureTime(SystemClock::now() + std::chrono::hours(1));
  const std::string toSign =
      options_.accountName + "\nrwc\nb\nsco\n\n" + expiry + "\n\n\n" + version + "\n\n";
  const std::string sas =
      "sv=" + version + "&ss=b&srt=sco&sp=rwc&se=" + percentEncode(expiry, false) +
      "&sig=" + percentEncode(hmacSha256Base64(options_.accountKey, toSign), false);
  const auto client = clientFor(origin_);
  const auto result = client->Put(
      prefix_ + "/" + percentEncode(options_.container, false) + "?restype=container&" + sas, "",
      "application/octet-stream");
  if (!result) return "cannot reach the storage account at " + options_.blobEndpoint;
  if (result->status != 201 && result->status != 409) {
    return "the storage account refused to create the container " + options_.container +
           " (status " + std::to_string(result->status) + ")";
  }
  return std::nullopt;
}

std::string AzureUploadTarget::storageUrl() const {
  return origin_ + prefix_ + "/" + options_.container + "/";
}

std::string AzureUploadTarget::signUpload(const std::string& blobName,
                                          SystemClock::time_point expiry) const {
  return "?" + serviceSas(blobName, "cw", expiry);
}

bool AzureUploadTarget::arrived(const std::string& blobName) const {
  const auto client = clientFor(origin_);
  const std::string sas = serviceSas(blobName, "r", SystemClock::now() + std::chrono::minutes(10));
  const auto result = client->Head(prefix_ + "/" + percentEncode(options_.container, false) + "/" +
                                   percentEncode(blobName, true) + "?" + sas);
  return result && result->status == 200;
}

}  // namespace vorelia::sandbox
