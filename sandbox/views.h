// The JSON shapes in which the sandbox answers: the members the plugin reads, plus a few more
// that make the answers easier to read by eye.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

#include "sandbox/state.h"

namespace vorelia::sandbox {

// {"id", "name", "order"}, and "rating" only when the item is rated (a number or a Boolean).
nlohmann::json itemView(const Item& item);

// {"id", "name", "itemCount"}; with expand also "value": the items in order.
nlohmann::json albumView(const Album& album, bool expand);

// {"credits", "creditsUsed", "creditsLimit", "extraCredits"}.
nlohmann::json creditsView(const Credits& credits);

// {"name", "isActive", "plan", "containerCount", "itemCount", "credits": creditsView}.
nlohmann::json accountStateView(const Account& account);

// {"code", "account", "containers": [ids], "isDownloadEnabled", "url"}.
nlohmann::json shareView(const Share& share, std::string_view webUrl);

// webUrl + "/a/" + code.
std::string shareUrl(const Share& share, std::string_view webUrl);

}  // namespace vorelia::sandbox
