// The Azurite fixture and its signatures against the real emulator: a blob written and read back
// under service signatures, a queue message added under an add-only signature, and signatures
// that Azure Storage must refuse.
#include <httplib.h>

#include <gtest/gtest.h>

#include "support/azurite_process.h"

namespace vorelia {
namespace {

using testing::AzuriteProcess;
using testing::makeServiceSas;
using testing::SasRequest;
using testing::SasResource;

SasRequest blobSas(const std::string& blob, const std::string& permissions,
                   std::chrono::seconds life = std::chrono::hours(1)) {
  SasRequest request;
  request.resource = SasResource::kBlob;
  request.container = "photos";
  request.blob = blob;
  request.permissions = permissions;
  request.expiry = std::chrono::system_clock::now() + life;
  return request;
}

TEST(AzuriteSupport, SignedBlobWritesAreCheckedByAzurite) {
  AzuriteProcess azurite;
  ASSERT_TRUE(azurite.createContainer("photos"));
  httplib::Client client("127.0.0.1", azurite.blobPort());
  const httplib::Headers blockBlob{{"x-ms-blob-type", "BlockBlob"}};
  const std::string base = "/" + azurite.accountName() + "/photos/";

  struct Case {
    const char* name;
    std::string blob;      // the path the request writes
    SasRequest signature;  // what was signed
    std::string tamper;    // appended to the signature text
    int status;
  };
  const std::string good = "r1-o/a.jpg";
  const Case cases[] = {
      {"valid", good, blobSas(good, "cw"), "", 201},
      {"other blob", "r1-o/b.jpg", blobSas(good, "cw"), "", 403},
      {"expired", good, blobSas(good, "cw", std::chrono::seconds(-60)), "", 403},
      {"read only", good, blobSas(good, "r"), "", 403},
      {"tampered", good, blobSas(good, "cw"), "A", 403},
  };
  for (const Case& c : cases) {
    const std::string query = makeServiceSas(c.signature) + c.tamper;
    const auto result = client.Put(base + c.blob + "?" + query, blockBlob, std::string(c.name),
                                   "application/octet-stream");
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(result->status, c.status) << c.name << ": " << result->body;
  }
  EXPECT_EQ(azurite.readBlob("photos", good), "valid");
  EXPECT_EQ(azurite.readBlob("photos", "r1-o/b.jpg"), std::nullopt);
}

TEST(AzuriteSupport, QueueTakesMessagesUnderAnAddOnlySignature) {
  testing::AzuriteOptions options;
  options.inMemory = true;
  AzuriteProcess azurite(options);
  ASSERT_TRUE(azurite.createQueue("usage"));
  httplib::Client client("127.0.0.1", azurite.queuePort());
  SasRequest request;
  request.resource = SasResource::kQueue;
  request.container = "usage";
  request.permissions = "a";
  request.expiry = std::chrono::system_clock::now() + std::chrono::hours(1);
  const std::string path =
      "/" + azurite.accountName() + "/usage/messages?" + makeServiceSas(request);
  const std::string message = "<QueueMessage><MessageText>aGVsbG8=</MessageText></QueueMessage>";
  const auto added = client.Post(path, message, "application/xml");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->status, 201) << added->body;
  // Reading needs the "r" permission, which the signature does not give.
  const auto read = client.Get(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 403);
}

}  // namespace
}  // namespace vorelia
