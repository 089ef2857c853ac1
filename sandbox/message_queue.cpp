#include "sandbox/message_queue.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <time.h>

#include <array>

#include "sandbox/http_util.h"
#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

constexpr std::string_view kVersion = "2018-03-28";
constexpr std::string_view kStart = "2018-12-04T15:53:43Z";
constexpr std::string_view kExpiry = "2118-12-04T15:53:43Z";
constexpr std::string_view kResource = "/queue/sandbox/statsc1";

std::string base64Encode(const unsigned char* bytes, std::size_t size) {
  std::string text(4 * ((size + 2) / 3), '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
  text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return text;
}

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SSZ", or nothing.
std::optional<std::int64_t> isoSeconds(const std::string& text) {
  tm parts{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return static_cast<std::int64_t>(timegm(&parts));
}

std::string isoTime(std::int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string resolveCharacterReferences(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string plain;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (text.substr(i, entity.size()) == entity) {
        plain.push_back(c);
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) plain.push_back(text[i++]);
  }
  return plain;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

MessageQueue::MessageQueue(Limits l) : limits(l), key_(randomToken(32)) {}

std::string MessageQueue::signature(std::string_view permissions, std::string_view start,
                                    std::string_view expiry, std::string_view version) const {
  std::string toSign;
  for (const auto part : {permissions, start, expiry, kResource, version}) {
    toSign.append(part);
    toSign.push_back('\n');
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
       reinterpret_cast<const unsigned char*>(toSign.data()), toSign.size(), digest.data(), &size);
  return base64Encode(digest.data(), size);
}

std::string MessageQueue::sasQuery() const {
  // Written the way Azure Storage writes its own: the signature and the times percent-encoded.
  const auto encode = [](std::string_view text) {
    std::string encoded;
    for (const char c : text) {
      if (c == '+' || c == '/' || c == '=' || c == ':') {
        static constexpr char kHex[] = "0123456789ABCDEF";
        encoded += '%';
        encoded += kHex[static_cast<unsigned char>(c) >> 4];
        encoded += kHex[static_cast<unsigned char>(c) & 15];
      } else {
        encoded += c;
      }
    }
    return encoded;
  };
  return "sv=" + std::string(kVersion) +
         "&sig=" + encode(signature("a", kStart, kExpiry, kVersion)) + "&st=" + encode(kStart) +
         "&se=" + encode(kExpiry) + "&sp=a";
}

bool MessageQueue::authorizesAdd(std::string_view rawQuery, std::int64_t nowSeconds,
                                 std::string& why) const {
  const auto form = parseForm(rawQuery);
  const auto sv = formValue(form, "sv");
  const auto sig = formValue(form, "sig");
  const auto st = formValue(form, "st");
  const auto se = formValue(form, "se");
  const auto sp = formValue(form, "sp");
  if (!sv || !sig || !st || !se || !sp) {
    why = "The query lacks a shared-access signature (sv, sig, st, se, sp).";
    return false;
  }
  if (!constantTimeEquals(*sig, signature(*sp, *st, *se, *sv))) {
    why = "The signature does not match.";
    return false;
  }
  if (sp->find('a') == std::string::npos) {
    why = "The signature does not grant adding messages.";
    return false;
  }
  const auto start = isoSeconds(*st);
  const auto expiry = isoSeconds(*se);
  if (!start || !expiry || nowSeconds < *start || nowSeconds >= *expiry) {
    why = "The signature is not valid at this time.";
    return false;
  }
  return true;
}

std::string MessageQueue::add(std::string text, std::int64_t nowSeconds) {
  Message message{randomUuid(), isoTime(nowSeconds), std::move(text)};
  std::string id = message.id;
  std::scoped_lock lock(mutex_);
  messages_.push_back(std::move(message));
  while (messages_.size() > limits.capacity) {
    messages_.pop_front();
    ++evicted_;
  }
  return id;
}

nlohmann::json MessageQueue::list() const {
  std::scoped_lock lock(mutex_);
  nlohmann::json messages = nlohmann::json::array();
  for (const auto& message : messages_) {
    nlohmann::json entry = {{"id", message.id},
                            {"insertionTime", message.insertionTime},
                            {"text", message.text},
                            {"decoded", nullptr},
                            {"record", nullptr}};
    if (const auto decoded = base64Decode(message.text)) {
      // dumpJson replaces bytes that are not UTF-8; parse that back into a string value.
      entry["decoded"] = nlohmann::json::parse(dumpJson(nlohmann::json(*decoded)));
      entry["record"] = nlohmann::json::parse(*decoded, nullptr, false);
      if (entry["record"].is_discarded()) entry["record"] = nullptr;
    }
    messages.push_back(std::move(entry));
  }
  return {{"messages", std::move(messages)}, {"evicted", evicted_}};
}

void MessageQueue::clear() {
  std::scoped_lock lock(mutex_);
  messages_.clear();
  evicted_ = 0;
}

std::optional<std::string> queueMessageText(std::string_view body) {
  body = trimmed(body);
  if (body.starts_with("<?xml")) {
    const auto end = body.find("?>");
    if (end == std::string_view::npos) return std::nullopt;
    body = trimmed(body.substr(end + 2));
  }
  constexpr std::string_view kOpen = "<QueueMessage>", kClose = "</QueueMessage>";
  constexpr std::string_view kTextOpen = "<MessageText>", kTextClose = "</MessageText>";
  if (!body.starts_with(kOpen) || !body.ends_with(kClose)) return std::nullopt;
  body = trimmed(body.substr(kOpen.size(), body.size() - kOpen.size() - kClose.size()));
  if (!body.starts_with(kTextOpen) || !body.ends_with(kTextClose)) return std::nullopt;
  const auto text =
      body.substr(kTextOpen.size(), body.size() - kTextOpen.size() - kTextClose.size());
  if (text.find('<') != std::string_view::npos) return std::nullopt;
  return resolveCharacterReferences(text);
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (padding == 1 && text[i + 2] == '=') return std::nullopt;  // "x=y=" is not Base64
    std::uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      const int v = k >= 4 - padding ? 0 : value(text[i + k]);
      if (v < 0) return std::nullopt;
      group = group << 6 | static_cast<std::uint32_t>(v);
    }
    bytes.push_back(static_cast<char>(group >> 16));
    if (padding < 2) bytes.push_back(static_cast<char>(group >> 8 & 0xff));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xff));
  }
  return bytes;
}

}  // namespace vorelia::sandbox
