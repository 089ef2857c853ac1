// The two homes of uploaded files: the sandbox's own blob store, and an Azure Storage account
// (Azurite in tests), whose signatures are real service signatures made with the account key.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sandbox/blob_store.h"
#include "sandbox/uploads.h"

namespace vorelia::sandbox {

// Blobs in the sandbox's store under "/blob/CONTAINER/", the store's own signatures.
class LocalUploadTarget : public UploadTarget {
 public:
  // serviceUrl gives the server's own address ("http://127.0.0.1:PORT"), known once it listens.
  LocalUploadTarget(BlobStore& store, std::function<std::string()> serviceUrl,
                    std::string container = "uploads");
  std::string storageUrl() const override;
  std::string signUpload(const std::string& blobName,
                         SystemClock::time_point expiry) const override;
  bool arrived(const std::string& blobName) const override;

 private:
  BlobStore& store_;
  const std::function<std::string()> serviceUrl_;
  const std::string container_;
};

// Azurite's development account.
inline constexpr const char* kAzuriteAccountName = "devstoreaccount1";
inline constexpr const char* kAzuriteAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

struct AzureStorageOptions {
  std::string blobEndpoint;  // "http://127.0.0.1:10000/devstoreaccount1" (path style)
  std::string accountName;
  std::string accountKey;  // base64
  std::string container = "uploads";
};

// Blobs in one container of an Azure Storage account, written under service signatures.
class AzureUploadTarget : public UploadTarget {
 public:
  explicit AzureUploadTarget(AzureStorageOptions options);
  // Creates the container unless it exists; a message when the account cannot be reached or
  // refuses.
  std::optional<std::string> prepare() const;
  std::string storageUrl() const override;
  std::string signUpload(const std::string& blobName,
                         SystemClock::time_point expiry) const override;
  // Asks the account for the blob's properties (HEAD under a read signature).
  bool arrived(const std::string& blobName) const override;

 private:
  // A blob or container signature for the account, as query text without '?'.
  std::string serviceSas(const std::string& blobName, const std::string& permissions,
                         SystemClock::time_point expiry) const;

  const AzureStorageOptions options_;
  std::string origin_;  // "http://host:port"
  std::string prefix_;  // the endpoint's path, e.g. "/devstoreaccount1"
};

// The time as Azure Storage writes it in signatures: "2026-12-06T21:40:00Z".
std::string azureTime(SystemClock::time_point time);
// Percent-encodes all but unreserved characters; with keepSlash, '/' stays.
std::string percentEncode(std::string_view text, bool keepSlash);

}  // namespace vorelia::sandbox
