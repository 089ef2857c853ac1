// The web pages behind share links: a plain page per link that shows the shared albums' images in
// their order, each read straight from storage under a short-lived signature. The gallery link
// ("/a/CODE") and the proofing link ("/p/CODE") open the same albums; the proofing page also
// lets the client rate each image with a plain form (no script), posted to "/p/CODE/rate".
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "sandbox/routes.h"
#include "sandbox/upload_targets.h"

namespace vorelia::sandbox {
namespace {

std::string html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Item names arrive in the plugin's escaped form ("Anna_a_s___portrait.jpg"); people read the
// name the photographer gave.
std::string displayName(std::string name) {
  static constexpr std::array<std::pair<std::string_view, char>, 10> Codes = {{
      {"_1_", '&'},
      {"___", ' '},
      {"_3_", '%'},
      {"_4_", '\\'},
      {"_5_", '"'},
      {"_6_", '/'},
      {"_7_", '~'},
      {"_8_", '+'},
      {"_9_", '?'},
      {"_a_", '\''},
  }};
  for (const auto& [code, character] : Codes) {
    for (std::size_t at = 0; (at = name.find(code, at)) != std::string::npos; ++at) {
      name.replace(at, code.size(), 1, character);
    }
  }
  return name;
}

// The values of the form's "rating" control, as the client sees them and as they are stored.
struct RatingChoice {
  std::string_view value;
  std::string_view label;
};
constexpr std::array<RatingChoice, 7> kRatingChoices = {{
    {"1", "1 star"},
    {"2", "2 stars"},
    {"3", "3 stars"},
    {"4", "4 stars"},
    {"5", "5 stars"},
    {"pick", "Pick"},
    {"clear", "Clear"},
}};

// Stars 1 to 5 are stored as numbers, a pick as true, and "clear" withdraws the rating (null).
std::optional<nlohmann::json> storedRating(std::string_view value) {
  if (value.size() == 1 && value[0] >= '1' && value[0] <= '5') {
    return nlohmann::json(value[0] - '0');
  }
  if (value == "pick") return nlohmann::json(true);
  if (value == "clear") return nlohmann::json(nullptr);
  return std::nullopt;
}

// Ratings set through the admin interface may be any number or false as well.
std::string ratingText(const nlohmann::json& rating) {
  if (rating.is_boolean()) return rating.get<bool>() ? "Picked" : "Not picked";
  if (rating.is_number()) {
    const std::string stars = dumpJson(rating);
    return stars + (stars == "1" ? " star" : " stars");
  }
  return "Not rated";
}

std::string ratingForm(const std::string& code, const Item& item) {
  std::string form = "<p class=\"rating\">Rating: " + html(ratingText(item.rating)) +
                     "</p><form method=\"post\" action=\"/p/" + html(percentEncode(code, false)) +
                     "/rate\"><input type=\"hidden\" name=\"item\" value=\"" + html(item.id) +
                     "\">";
  for (const RatingChoice& choice : kRatingChoices) {
    const auto stored = storedRating(choice.value);
    const bool current = !item.rating.is_null() && *stored == item.rating;
    form += "<button type=\"submit\" name=\"rating\" value=\"" + std::string(choice.value) + "\"" +
            (current ? " aria-pressed=\"true\"" : "") + ">" + std::string(choice.label) +
            "</button>";
  }
  return form + "</form>";
}

// A form body: "application/x-www-form-urlencoded", in any letter case, parameters allowed.
bool isFormBody(const httplib::Request& request) {
  std::string type = request.get_header_value("Content-Type");
  type.resize(std::min(type.find(';'), type.size()));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  return equalsIgnoreCase(type, "application/x-www-form-urlencoded");
}

std::string page(const SharedAlbums& shared, const UploadPipeline& uploads, bool proofing) {
  std::string title;
  for (const Album& album : shared.albums) title += (title.empty() ? "" : ", ") + album.name;
  std::string body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html(title) +
                     "</title>\n<style>body{font-family:sans-serif;background:#111;color:#eee}"
                     "figure{display:inline-block;margin:8px}img{max-width:320px;"
                     "max-height:320px}</style></head>\n<body>\n<h1>" +
                     html(title) + "</h1>\n";
  if (proofing) body += "<p>Proofing album</p>\n";
  for (const Album& album : shared.albums) {
    body += "<section data-album=\"" + html(album.id) + "\">\n";
    for (const Item& item : album.items) {
      const std::string name = displayName(item.name);
      body += "<figure data-item=\"" + html(item.id) + "\">";
      if (const auto url = uploads.imageUrl(item.id)) {
        body += "<img src=\"" + html(*url) + "\" alt=\"" + html(name) + "\">";
        if (shared.share.downloadEnabled) {
          body += "<a href=\"" + html(*url) + "\" download>download</a>";
        }
      }
      body += "<figcaption>" + html(name) + "</figcaption>";
      if (proofing) body += ratingForm(shared.share.code, item);
      body += "</figure>\n";
    }
    body += "</section>\n";
  }
  return body + "</body></html>\n";
}

}  // namespace

void addWebRoutes(Router& router, State& state, const UploadPipeline& uploads) {
  for (const bool proofing : {false, true}) {
    router.add("GET", proofing ? "/p/{code}" : "/a/{code}",
               [&state, &uploads, proofing](const Call& call, httplib::Response& response) {
                 const auto shared = state.shared(call.params[0]);
                 if (!shared) {
                   response.status = 404;
                   response.set_content(
                       "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Not found"
                       "</title></head><body><h1>Not found</h1><p>No album is shared under this "
                       "link.</p></body></html>\n",
                       "text/html; charset=utf-8");
                   return;
                 }
                 response.status = 200;
                 response.set_content(page(*shared, uploads, proofing), "text/html; charset=utf-8");
               });
  }
  // A client's rating from the proofing page. Only items of the albums shared under the code can
  // be rated; the browser is sent back to the page, which shows the new rating.
  router.add("POST", "/p/{code}/rate", [&state](const Call& call, httplib::Response& response) {
    const std::string& code = call.params[0];
    if (!state.isShared(code))
      return sendError(response, 404, "No album is shared under this link");
    if (!isFormBody(call.request)) {
      return sendError(response, 415,
                       "A rating comes as a form (application/x-www-form-urlencoded)");
    }
    const auto form = parseForm(call.request.body);
    const auto item = formValue(form, "item");
    if (!item || item->empty()) return sendError(response, 400, "The form names no item");
    const auto value = formValue(form, "rating");
    if (!value || value->empty()) return sendError(response, 400, "The form carries no rating");
    const auto rating = storedRating(*value);
    if (!rating) return sendError(response, 400, "A rating is 1 to 5, pick or clear");
    const auto rated = state.rateShared(code, *item, *rating);
    if (!rated.ok()) return sendError(response, rated.failure().status, rated.failure().message);
    response.status = 303;
    response.set_header("Location", "/p/" + percentEncode(code, false));
  });
}

}  // namespace vorelia::sandbox
