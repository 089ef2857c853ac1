// A gallery of real JPEG files published through PublishShare: against the sandbox and its blob
// storage, and against Azurite's blob service through the sandbox's Azurite mode.
#include "publish/publish_share.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>

#include "support/azurite_process.h"
#include "support/jpeg_writer.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia {
namespace {

using testing::SandboxProcess;

// A JPEG of width x height with a pattern that depends on seed; noisy ones are large.
void writeGalleryJpeg(const std::filesystem::path& path, int width, int height, int seed,
                      bool noisy) {
  testing::writeJpeg(path, width, height, [=](int x, int y) {
    if (noisy) {
      unsigned char noise[3];
      testing::fillGenerated((std::uint64_t(y) * width + x) * 3, reinterpret_cast<char*>(noise), 3);
      return testing::Rgb{noise[0], noise[1], noise[2]};
    }
    return testing::Rgb{static_cast<unsigned char>(x * 7 + seed * 31),
                        static_cast<unsigned char>(y * 5 + seed * 17),
                        static_cast<unsigned char>((x ^ y) + seed)};
  });
}

// Exported files whose names need escaping: spaces, ampersands, apostrophes and accents.
const std::vector<std::pair<std::string, std::string>> kGallery = {
    {"Zoë at the beach.jpg", "Zoë___at___the___beach.jpg"},
    {"Tom & Jerry.jpg", "Tom____1____Jerry.jpg"},
    {"Anna's cake.jpg", "Anna_a_s___cake.jpg"},
    {"café crème.jpg", "café___crème.jpg"},
    {"plain.jpg", "plain.jpg"},
};

class PublishGallery : public ::testing::Test {
 protected:
  void connect(SandboxProcess& sandbox) {
    sandbox.seedUser("ann@example.test", "pw", {"ann-studio"});
    state = std::make_shared<PluginState>(Deployment{sandbox.baseUrl(), "", "", ""});
    state->account.set("ann-studio");
    state->setAuthentication("Bearer " + sandbox.token("ann@example.test"),
                             std::chrono::system_clock::now());
    api = std::make_shared<Api>(state);
  }

  std::vector<std::string> exportGallery() {
    std::vector<std::string> files;
    int seed = 0;
    for (const auto& [name, escaped] : kGallery) {
      const auto path = home.path() / name;
      // The first file is the largest, so that it tends to arrive (and join the album) last and
      // the album's order comes from the reorder.
      writeGalleryJpeg(path, seed == 0 ? 1600 : 320 + 16 * seed, seed == 0 ? 1200 : 200 + 8 * seed,
                       seed, seed == 0);
      ++seed;
      files.push_back(path.string());
    }
    return files;
  }

  PublishResult publish(const std::string& action, const std::vector<std::string>& files,
                        PublishSettings settings) {
    PublishShare workflow(state, api);
    return workflow.DoPublish(
        PublishTask{action, files, std::move(settings)},
        [](std::uint64_t, std::uint64_t, const std::optional<std::string>&) {});
  }

  static nlohmann::json album(const SandboxProcess& sandbox, const std::string& name) {
    const auto state = sandbox.admin("GET", "/admin/state").body;
    for (const auto& found : state["accounts"][0]["albums"]) {
      if (found["name"] == name) return found;
    }
    return nullptr;
  }
  // The names of an album's items in order.
  static std::vector<std::string> itemNames(const nlohmann::json& album) {
    std::vector<std::string> names;
    for (const auto& item : album["value"]) names.push_back(item["name"]);
    return names;
  }

  testing::TempHome home;
  std::shared_ptr<PluginState> state;
  std::shared_ptr<Api> api;
};

TEST_F(PublishGallery, AFolderOfJpegsBecomesAnOrderedAlbumWithShareAndProofingLinks) {
  SandboxProcess sandbox(testing::withArguments({"--encoding-delay-ms", "30"}));
  connect(sandbox);
  const auto files = exportGallery();

  const auto shared = publish("voreliaPublishShare", files,
                              {{"albumsList-input", std::string("create")},
                               {"albumName-input", std::string("Summer & Friends")},
                               {"albumDownload-input", true}});
  ASSERT_TRUE(shared.url) << shared.message;
  const auto gallery = album(sandbox, "Summer & Friends");
  ASSERT_TRUE(gallery.is_object());
  std::vector<std::string> escaped;
  for (const auto& [name, code] : kGallery) escaped.push_back(code);
  // Items join the album as their encoding ends, in any order; the reorder puts them in file order.
  EXPECT_EQ(itemNames(gallery), escaped);

  // Every file reached the blob store once and whole.
  const auto blobs = sandbox.admin("GET", "/admin/blobs?sha256").body["blobs"];
  std::map<std::string, std::string> digestByName;
  for (const auto& blob : blobs) {
    const std::string path = blob["path"];
    digestByName[path.substr(path.find("-o/") + 3)] = blob["sha256"];
  }
  ASSERT_EQ(digestByName.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(digestByName[escaped[i]], testing::fileSha256(files[i])) << escaped[i];
  }
  std::size_t blobWrites = 0;
  for (const auto& request : sandbox.requests()) {
    blobWrites +=
        request["method"] == "PUT" && request["path"].get<std::string>().starts_with("/blob/");
  }
  EXPECT_EQ(blobWrites, files.size());

  const auto downloadEnabled = [&] {
    return sandbox.admin("GET", "/admin/state").body["shares"].at(0)["isDownloadEnabled"];
  };
  EXPECT_EQ(downloadEnabled(), true);

  // The link opens a page with the photographer's names in album order, each image readable.
  const std::string pageUrl = *shared.url;
  const auto origin = pageUrl.substr(0, pageUrl.find('/', pageUrl.find("//") + 2));
  httplib::Client web(origin);
  const auto page = web.Get(pageUrl.substr(origin.size()));
  ASSERT_TRUE(page && page->status == 200);
  std::vector<std::string> captions;
  for (std::size_t at = 0; (at = page->body.find("<figcaption>", at)) != std::string::npos;) {
    at += 12;
    captions.push_back(page->body.substr(at, page->body.find('<', at) - at));
  }
  EXPECT_EQ(captions,
            (std::vector<std::string>{"Zoë at the beach.jpg", "Tom &amp; Jerry.jpg",
                                      "Anna&#39;s cake.jpg", "café crème.jpg", "plain.jpg"}));
  const auto src = page->body.find("<img src=\"") + 10;
  std::string image = page->body.substr(src, page->body.find('"', src) - src);
  for (std::size_t at; (at = image.find("&amp;")) != std::string::npos;) image.replace(at, 5, "&");
  const auto bytes = web.Get(image.substr(origin.size()));
  ASSERT_TRUE(bytes && bytes->status == 200) << image;
  EXPECT_EQ(testing::sha256Hex(bytes->body), testing::fileSha256(files[0]));

  // Proofing into the same album, chosen by id: the link's first "/a/" becomes "/p/", and the
  // download flag follows the new setting.
  const auto proofing = publish("voreliaPublishProofing", {files[0], files[1]},
                                {{"albumsList-input", gallery["id"].get<std::string>()}});
  ASSERT_TRUE(proofing.url) << proofing.message;
  std::string expected = *shared.url;
  expected.replace(expected.find("/a/"), 3, "/p/");
  EXPECT_EQ(*proofing.url, expected);
  EXPECT_EQ(downloadEnabled(), false);
  EXPECT_EQ(itemNames(album(sandbox, "Summer & Friends")).size(), files.size() + 2);
}

TEST_F(PublishGallery, UploadsIntoAzuriteArriveWholeAndATamperedSignatureIsRefused) {
  testing::AzuriteProcess azurite;
  SandboxProcess sandbox(testing::withArguments({"--azurite-blob", azurite.blobEndpoint()}));
  connect(sandbox);
  const auto files = exportGallery();

  const auto result =
      publish("voreliaPublishShare", files, {{"albumName-input", std::string("Azure trip")}});
  ASSERT_TRUE(result.url) << result.message;
  EXPECT_EQ(result.message.find("could not be uploaded"), std::string::npos) << result.message;
  const auto resources = sandbox.admin("GET", "/admin/uploads").body["resources"];
  ASSERT_EQ(resources.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(resources[i]["stage"], "encoded") << resources[i];
    const auto bytes = azurite.readBlob("uploads", resources[i]["blob"]);
    ASSERT_TRUE(bytes) << resources[i]["blob"];
    EXPECT_EQ(testing::sha256Hex(*bytes), testing::fileSha256(files[i])) << files[i];
  }

  // A reservation whose signature was changed on the way: Azure Storage refuses the write, the
  // upload reports it, and no blob appears.
  const auto albumId = album(sandbox, "Azure trip")["id"].get<std::string>();
  std::optional<JSON> reservation;
  platform::DispatchSemaphore reserved(0);
  api->InitUploadResource(albumId, {JSON{{"name", "tampered.jpg"}, {"size", 10}}},
                          [&](std::optional<JSON> answer) {
                            reservation = std::move(answer);
                            reserved.signal();
                          });
  reserved.wait();
  ASSERT_TRUE(reservation);
  JSON resource = JSON::Parse((*reservation)["value"].array().value().at(0).stringValue());
  std::string sas = resource["sas"].stringValue();
  const auto sig = sas.find("sig=") + 4;
  sas[sig] = sas[sig] == 'A' ? 'B' : 'A';
  resource = JSON{{"id", resource["id"].stringValue()}, {"sas", sas}};
  UploadInfo upload;
  upload.FilePath = files[0];
  upload.ItemName = "tampered.jpg";
  upload.UploadResource = resource;
  bool accepted = true;
  platform::DispatchSemaphore uploaded(0);
  api->UploadFile((*reservation)["storageUrl"].stringValue(), upload, [&](UploadInfo, bool ok) {
    accepted = ok;
    uploaded.signal();
  });
  uploaded.wait();
  EXPECT_FALSE(accepted);
  EXPECT_FALSE(azurite.readBlob("uploads", resource["id"].stringValue() + "-o/tampered.jpg"));
}

}  // namespace
}  // namespace vorelia
