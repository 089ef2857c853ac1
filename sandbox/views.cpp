#include "sandbox/views.h"

namespace vorelia::sandbox {

nlohmann::json itemView(const Item& item) {
  nlohmann::json view = {{"id", item.id}, {"name", item.name}, {"order", item.order}};
  if (!item.rating.is_null()) view["rating"] = item.rating;
  return view;
}

nlohmann::json albumView(const Album& album, bool expand) {
  nlohmann::json view = {{"id", album.id}, {"name", album.name}, {"itemCount", album.items.size()}};
  if (expand) {
    nlohmann::json items = nlohmann::json::array();
    for (const Item& item : album.items) items.push_back(itemView(item));
    view["value"] = std::move(items);
  }
  return view;
}

nlohmann::json creditsView(const Credits& credits) {
  return {{"credits", credits.credits},
          {"creditsUsed", credits.creditsUsed},
          {"creditsLimit", credits.creditsLimit},
          {"extraCredits", credits.extraCredits}};
}

nlohmann::json accountStateView(const Account& account) {
  std::size_t items = 0;
  for (const Album& album : account.albums) items += album.items.size();
  return {{"name", account.name}, {"isActive", true},
          {"plan", "sandbox"},    {"containerCount", account.albums.size()},
          {"itemCount", items},   {"credits", creditsView(account.credits)}};
}

std::string shareUrl(const Share& share, std::string_view webUrl) {
  return std::string(webUrl) + "/a/" + share.code;
}

nlohmann::json shareView(const Share& share, std::string_view webUrl) {
  return {{"code", share.code},
          {"account", share.account},
          {"containers", share.albumIds},
          {"isDownloadEnabled", share.downloadEnabled},
          {"url", shareUrl(share, webUrl)}};
}

}  // namespace vorelia::sandbox
