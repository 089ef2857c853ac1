// The web pages behind share links: a plain page per link that shows the shared albums' images in
// their order, each read straight from storage under a short-lived signature. The gallery link
// ("/a/CODE") and the proofing link ("/p/CODE") open the same albums.
#include <array>
#include <string>
#include <utility>

#include "sandbox/routes.h"

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
      body += "<figcaption>" + html(name) + "</figcaption></figure>\n";
    }
    body += "</section>\n";
  }
  return body + "</body></html>\n";
}

}  // namespace

void addWebRoutes(Router& router, const State& state, const UploadPipeline& uploads) {
  for (const bool proofing : {false, true}) {
    router.add("GET", proofing ? "/p/{code}" : "/a/{code}",
               [&state, &uploads, proofing](const Call& call, httplib::Response& response) {
                 const auto shared = state.shared(call.params[0]);
                 if (!shared) return sendError(response, 404, "No album is shared under this link");
                 response.status = 200;
                 response.set_content(page(*shared, uploads, proofing), "text/html; charset=utf-8");
               });
  }
}

}  // namespace vorelia::sandbox
