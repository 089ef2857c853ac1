// Albums, items, ratings, shares and the demo seed of the sandbox state.
#include <algorithm>
#include <unordered_map>

#include "sandbox/http_util.h"
#include "sandbox/secrets.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {
namespace {

Album* findAlbum(Account& account, std::string_view idOrName) {
  for (Album& album : account.albums) {
    if (album.id == idOrName) return &album;
  }
  for (Album& album : account.albums) {
    if (equalsIgnoreCase(album.name, idOrName)) return &album;
  }
  return nullptr;
}

Album* findAlbumById(Account& account, std::string_view id) {
  for (Album& album : account.albums) {
    if (album.id == id) return &album;
  }
  return nullptr;
}

Item* findItem(Album& album, std::string_view idOrName) {
  for (Item& item : album.items) {
    if (item.id == idOrName) return &item;
  }
  for (Item& item : album.items) {
    if (item.name == idOrName) return &item;
  }
  return nullptr;
}

bool isRating(const nlohmann::json& rating) {
  return rating.is_null() || rating.is_number() || rating.is_boolean();
}

void sortItems(Album& album) {
  std::stable_sort(album.items.begin(), album.items.end(),
                   [](const Item& a, const Item& b) { return a.order < b.order; });
}

Failure noAccount() { return Failure{404, "The account does not exist"}; }
Failure noAlbum() { return Failure{404, "The container does not exist"}; }

}  // namespace

Result<AlbumUpsert> State::createAlbumIfMissing(std::string_view account, std::string_view name) {
  std::scoped_lock lock(mutex_);
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  if (name.empty()) return Failure{400, "A container needs a name"};
  for (const Album& album : owner->albums) {
    if (equalsIgnoreCase(album.name, name)) return AlbumUpsert{album, false};
  }
  if (owner->albums.size() >= kMaxAlbumsPerAccount) return Failure{400, "Too many containers"};
  owner->albums.push_back(Album{randomUuid(), std::string(name), {}});
  commitLocked();
  return AlbumUpsert{owner->albums.back(), true};
}

Outcome State::reorder(std::string_view account, std::string_view albumId,
                       const std::vector<ItemOrder>& orders) {
  std::scoped_lock lock(mutex_);
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  Album* album = findAlbumById(*owner, albumId);
  if (album == nullptr) return noAlbum();
  // By id, so that ordering a large album takes one pass over each list.
  std::unordered_multimap<std::string_view, Item*> byId;
  for (Item& item : album->items) byId.emplace(item.id, &item);
  for (const ItemOrder& entry : orders) {
    if (!byId.contains(entry.id)) return Failure{400, "The container holds no item " + entry.id};
  }
  for (const ItemOrder& entry : orders) {
    const auto [first, last] = byId.equal_range(entry.id);
    for (auto it = first; it != last; ++it) it->second->order = entry.order;
  }
  sortItems(*album);
  commitLocked();
  return std::nullopt;
}

Result<Item> State::addItem(std::string_view account, std::string_view albumId, std::string id,
                            std::string name) {
  std::scoped_lock lock(mutex_);
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  Album* album = findAlbumById(*owner, albumId);
  if (album == nullptr) return noAlbum();
  if (album->items.size() >= kMaxItemsPerAlbum) return Failure{400, "Too many items"};
  const std::int64_t next = album->items.empty() ? 0 : album->items.back().order + 1;
  album->items.push_back(Item{std::move(id), std::move(name), next, nullptr});
  commitLocked();
  return album->items.back();
}

bool State::hasAlbum(std::string_view account, std::string_view albumId) const {
  std::scoped_lock lock(mutex_);
  const Account* owner = findAccountLocked(account);
  if (owner == nullptr) return false;
  return std::any_of(owner->albums.begin(), owner->albums.end(),
                     [&](const Album& album) { return album.id == albumId; });
}

std::optional<SharedAlbums> State::shared(std::string_view code) const {
  std::scoped_lock lock(mutex_);
  for (const Share& share : data_.shares) {
    if (share.code != code) continue;
    SharedAlbums view{share, {}};
    if (const Account* owner = findAccountLocked(share.account)) {
      for (const std::string& id : share.albumIds) {
        for (const Album& album : owner->albums) {
          if (album.id == id) view.albums.push_back(album);
        }
      }
    }
    return view;
  }
  return std::nullopt;
}

bool State::isShared(std::string_view code) const {
  std::scoped_lock lock(mutex_);
  return std::any_of(data_.shares.begin(), data_.shares.end(),
                     [&](const Share& share) { return share.code == code; });
}

Result<Item> State::rateShared(std::string_view code, std::string_view itemId,
                               const nlohmann::json& rating) {
  std::scoped_lock lock(mutex_);
  if (!isRating(rating)) return Failure{400, "A rating is a number, a Boolean or null"};
  const auto share = std::find_if(data_.shares.begin(), data_.shares.end(),
                                  [&](const Share& candidate) { return candidate.code == code; });
  if (share == data_.shares.end()) return Failure{404, "No album is shared under this link"};
  if (Account* owner = findAccountLocked(share->account)) {
    for (const std::string& albumId : share->albumIds) {
      Album* album = findAlbumById(*owner, albumId);
      if (album == nullptr) continue;
      for (Item& item : album->items) {
        if (item.id != itemId) continue;
        item.rating = rating;
        commitLocked();
        return item;
      }
    }
  }
  return Failure{404, "The shared albums hold no such item"};
}

Result<Share> State::share(std::string_view account, const std::vector<std::string>& albumIds,
                           bool downloadEnabled) {
  std::scoped_lock lock(mutex_);
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  if (albumIds.empty()) return Failure{400, "Nothing to share: no containers"};
  for (const std::string& id : albumIds) {
    if (findAlbumById(*owner, id) == nullptr) return noAlbum();
  }
  for (Share& existing : data_.shares) {
    if (equalsIgnoreCase(existing.account, owner->name) && existing.albumIds == albumIds) {
      existing.downloadEnabled = downloadEnabled;
      commitLocked();
      return existing;
    }
  }
  if (data_.shares.size() >= kMaxShares) data_.shares.erase(data_.shares.begin());
  data_.shares.push_back(Share{randomCode(), owner->name, albumIds, downloadEnabled});
  commitLocked();
  return data_.shares.back();
}

Result<Album> State::upsertAlbum(std::string_view account, const AlbumSeed& seed) {
  std::scoped_lock lock(mutex_);
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  return upsertAlbumLocked(*owner, seed);
}

Result<Album> State::upsertAlbumLocked(Account& account, const AlbumSeed& seed) {
  Album* album = seed.id ? findAlbumById(account, *seed.id) : nullptr;
  if (album == nullptr && !seed.name.empty()) album = findAlbum(account, seed.name);
  if (album == nullptr) {
    if (seed.name.empty()) return Failure{400, "A new album needs a name"};
    if (account.albums.size() >= kMaxAlbumsPerAccount) return Failure{400, "Too many albums"};
    account.albums.push_back(Album{seed.id.value_or(randomUuid()), seed.name, {}});
    album = &account.albums.back();
  } else if (!seed.name.empty()) {
    album->name = seed.name;
  }
  for (const ItemSeed& itemSeed : seed.items) {
    if (!isRating(itemSeed.rating)) return Failure{400, "A rating is a number, a Boolean or null"};
    Item* item = itemSeed.id ? findItem(*album, *itemSeed.id) : nullptr;
    if (item == nullptr && !itemSeed.name.empty()) item = findItem(*album, itemSeed.name);
    if (item == nullptr) {
      if (itemSeed.name.empty()) return Failure{400, "A new item needs a name"};
      if (album->items.size() >= kMaxItemsPerAlbum) return Failure{400, "Too many items"};
      const std::int64_t next = album->items.empty() ? 0 : album->items.back().order + 1;
      album->items.push_back(Item{itemSeed.id.value_or(randomUuid()), itemSeed.name,
                                  itemSeed.order.value_or(next), itemSeed.rating});
    } else {
      if (!itemSeed.name.empty()) item->name = itemSeed.name;
      if (itemSeed.order) item->order = *itemSeed.order;
      item->rating = itemSeed.rating;
    }
    sortItems(*album);
  }
  commitLocked();
  return *album;
}

Result<Item> State::setRating(std::string_view account, std::string_view album,
                              std::string_view item, const nlohmann::json& rating) {
  std::scoped_lock lock(mutex_);
  if (!isRating(rating)) return Failure{400, "A rating is a number, a Boolean or null"};
  Account* owner = findAccountLocked(account);
  if (owner == nullptr) return noAccount();
  Album* found = findAlbum(*owner, album);
  if (found == nullptr) return noAlbum();
  Item* target = findItem(*found, item);
  if (target == nullptr) return Failure{404, "The album holds no such item"};
  target->rating = rating;
  commitLocked();
  return *target;
}

void State::seedDemo() {
  std::scoped_lock lock(mutex_);
  upsertUserLocked(
      UserSeed{"demo@vorelia.test", "demo-password", {"demo-studio", "demo-weddings"}});
  Account& studio = ensureAccountLocked("demo-studio");
  studio.credits = Credits{250, 75, 300, 25};
  upsertAlbumLocked(studio, AlbumSeed{std::nullopt,
                                      "Portfolio",
                                      {{std::nullopt, "Harbour_at_dawn.jpg", 0, nullptr},
                                       {std::nullopt, "Old_town.jpg", 1, nullptr},
                                       {std::nullopt, "Lighthouse.jpg", 2, nullptr}}});
  upsertAlbumLocked(studio, AlbumSeed{std::nullopt,
                                      "Client Proofs",
                                      {{std::nullopt, "Portrait_01.jpg", 0, 5},
                                       {std::nullopt, "Portrait_02.jpg", 1, nullptr},
                                       {std::nullopt, "Portrait_03.jpg", 2, 0},
                                       {std::nullopt, "Portrait_04.jpg", 3, true}}});
  Account& weddings = ensureAccountLocked("demo-weddings");
  weddings.credits = Credits{40, 60, 100, 0};
  upsertAlbumLocked(weddings, AlbumSeed{std::nullopt,
                                        "Smith Wedding",
                                        {{std::nullopt, "Ceremony.jpg", 0, 4},
                                         {std::nullopt, "Reception.jpg", 1, nullptr}}});
  commitLocked();
}

}  // namespace vorelia::sandbox
