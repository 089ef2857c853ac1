#include "url_policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

#include "curl_handles.h"

namespace vorelia::platform::net {
namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Parses an absolute URL; null when it does not parse.
CurlUrl parse(const std::string& url) {
  CurlUrl handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  return handle;
}

std::string redactedFrom(CURLU* url) {
  std::string text = urlPart(url, CURLUPART_SCHEME) + "://" + urlPart(url, CURLUPART_HOST);
  if (const std::string port = urlPart(url, CURLUPART_PORT); !port.empty()) text += ":" + port;
  return text + urlPart(url, CURLUPART_PATH);
}

URLError badURL(std::string message) { return {URLError::Code::badURL, std::move(message)}; }

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

bool isLoopbackHost(std::string host) {
  host = lowercase(std::move(host));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host == "localhost" || host == "localhost.") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::variant<CheckedURL, URLError> checkURL(const std::string& url) {
  CurlUrl parsed = parse(url);
  if (!parsed) return badURL("the URL does not parse");
  const std::string scheme = lowercase(urlPart(parsed.get(), CURLUPART_SCHEME));
  const std::string host = urlPart(parsed.get(), CURLUPART_HOST);
  CheckedURL checked{redactedFrom(parsed.get()), scheme == "https", isLoopbackHost(host)};
  if (host.empty()) return badURL("the URL has no host (" + checked.redacted + ")");
  if (scheme == "https") return checked;
  if (scheme == "http") {
    if (checked.loopback) return checked;
    return badURL("plain http is refused for a non-loopback host (" + checked.redacted + ")");
  }
  return badURL("only http and https URLs are supported (" + checked.redacted + ")");
}

bool redirectAllowed(const std::string& from, const std::string& location) {
  CurlUrl target = parse(from);
  if (!target) return true;
  const std::string fromScheme = lowercase(urlPart(target.get(), CURLUPART_SCHEME));
  // Setting a URL on a handle that holds one resolves it relative to the held one.
  if (curl_url_set(target.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) return true;
  const std::string scheme = lowercase(urlPart(target.get(), CURLUPART_SCHEME));
  if (scheme == "https") return true;
  if (scheme != "http") return false;
  return fromScheme == "http" && isLoopbackHost(urlPart(target.get(), CURLUPART_HOST));
}

bool isConnectionFailure(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

URLError errorForCurlCode(CURLcode code, const std::string& redacted) {
  // curl_easy_strerror gives fixed texts; the error buffer is not used because it can quote
  // parts of the request.
  const std::string detail = std::string(curl_easy_strerror(code)) + " (" + redacted + ")";
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return {URLError::Code::badURL, "bad URL: " + detail};
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return {URLError::Code::cannotConnect, "cannot connect: " + detail};
    case CURLE_OPERATION_TIMEDOUT:
      return {URLError::Code::timedOut, "timed out: " + detail};
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return {URLError::Code::connectionLost, "connection lost: " + detail};
    case CURLE_ABORTED_BY_CALLBACK:
      return {URLError::Code::cancelled, "cancelled (" + redacted + ")"};
    case CURLE_READ_ERROR:
    case CURLE_WRITE_ERROR:
      return {URLError::Code::fileError, "file error: " + detail};
    default:
      return {URLError::Code::other, "transfer failed: " + detail};
  }
}

}  // namespace vorelia::platform::net
