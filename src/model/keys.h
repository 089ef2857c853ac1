// Named string constants: user-defaults keys, element identifiers, member names of service messages
// (P) and the identifiers of the publishing actions (Publish). They are part of the plugin's
// outside interface: stored defaults, identifiers the host sends back and action identifiers the
// host keeps must never change. Compare them with exact, case-sensitive equality.
#pragma once

#include <string_view>

namespace vorelia {

struct P {
  P() = delete;

  static constexpr std::string_view Account = "account";
  static constexpr std::string_view UserName = "userName";
  static constexpr std::string_view Password = "password";  // a keychain key, never a defaults key
  static constexpr std::string_view AuthenticationHeader = "authenticationHeader";
  static constexpr std::string_view AuthenticationHeaderLastRefresh =
      "authenticationHeaderLastRefresh";
  static constexpr std::string_view Name = "name";
  static constexpr std::string_view Value = "value";
  static constexpr std::string_view Sas = "sas";
  static constexpr std::string_view IsDownloadEnabled = "isDownloadEnabled";
  static constexpr std::string_view Id = "id";
  static constexpr std::string_view Order = "order";
  static constexpr std::string_view StorageUrl = "storageUrl";
  static constexpr std::string_view Url = "url";
  static constexpr std::string_view Containers = "containers";
  static constexpr std::string_view Rating = "rating";
  static constexpr std::string_view UploadSas = "uploadSas";
  static constexpr std::string_view HasError = "hasError";
  static constexpr std::string_view Message = "message";
  static constexpr std::string_view TaggingOption = "taggingOption";
  static constexpr std::string_view AlbumsListIdentifier = "albumsList-input";
  static constexpr std::string_view AlbumNameIdentifier = "albumName-input";
  static constexpr std::string_view AlbumDownloadIdentifier = "albumDownload-input";
  static constexpr std::string_view GeneralIdentifier = "general-input";
  static constexpr std::string_view FaceIdentifier = "face-input";
  static constexpr std::string_view AdultIdentifier = "adult-input";
  static constexpr std::string_view DescribeIdentifier = "describe-input";
  static constexpr std::string_view CelebrityIdentifier = "celebrity-input";
  static constexpr std::string_view LandmarkIdentifier = "landmark-input";
  static constexpr std::string_view WeddingIdentifier = "wedding-input";
  static constexpr std::string_view FoodIdentifier = "food-input";
  static constexpr std::string_view TravelIdentifier = "travel-input";
  static constexpr std::string_view ApparelIdentifier = "apparel-input";
  static constexpr std::string_view TextureIdentifier = "texture-input";
};

struct Publish {
  Publish() = delete;

  static constexpr std::string_view Login = "voreliaPublishLogin";
  static constexpr std::string_view AI = "voreliaPublishAI";
  static constexpr std::string_view Embed = "voreliaPublishEmbed";  // recognised, never offered
  static constexpr std::string_view Share = "voreliaPublishShare";
  static constexpr std::string_view Transfer =
      "voreliaPublishTransfer";  // recognised, never offered
  static constexpr std::string_view Proofing = "voreliaPublishProofing";
};

// The defaults key that marks that the first-run defaults were written.
inline constexpr std::string_view IsInitializedKey = "isInitialized";

}  // namespace vorelia
