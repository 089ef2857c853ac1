#include "api/queue_message.h"

namespace vorelia {

std::string Base64Encode(std::string_view bytes) {
  static constexpr char Alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const auto group = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(Alphabet[(group >> shift) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned group = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) group |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    text.push_back(Alphabet[(group >> 18) & 63]);
    text.push_back(Alphabet[(group >> 12) & 63]);
    text.push_back(rest == 2 ? Alphabet[(group >> 6) & 63] : '=');
    text.push_back('=');
  }
  return text;
}

std::optional<std::string> QueueMessageBody(const JSON& payload) {
  const auto record = payload.rawData(true);
  if (!record) return std::nullopt;
  // Base64 text needs no XML escaping.
  return "<QueueMessage><MessageText>" + Base64Encode(*record) + "</MessageText></QueueMessage>";
}

}  // namespace vorelia
