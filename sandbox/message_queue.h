// The statistics queue of the sandbox: a stand-in of one Azure Storage queue ("statsc1") that
// keeps the messages it is given, bounded, for the admin interface to read back. Writers prove
// themselves with a shared-access signature made by this queue (add permission), as the plugin's
// deployed queue URL carries one.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vorelia::sandbox {

class MessageQueue {
 public:
  struct Limits {
    std::size_t capacity = 500;           // messages kept; the oldest go first
    std::size_t maxMessageBytes = 65536;  // of the message text, as Azure Storage allows
  };
  explicit MessageQueue(Limits limits);
  MessageQueue() : MessageQueue(Limits{}) {}

  // The query of the queue's Put Message URL: "sv=...&sig=...&st=...&se=...&sp=a", valid from
  // 2018 to 2118, signed with this queue's key (new for every sandbox run).
  std::string sasQuery() const;
  // Whether a raw query carries a signature of this queue that grants adding, valid at
  // nowSeconds (seconds since the epoch). Fills why with a reason when it does not.
  bool authorizesAdd(std::string_view rawQuery, std::int64_t nowSeconds, std::string& why) const;

  // Keeps the text; returns the new message's id.
  std::string add(std::string text, std::int64_t nowSeconds);

  // {"messages": [{"id", "insertionTime", "text", "decoded", "record"}], "evicted"}: oldest
  // first. "decoded" is the text Base64-decoded (null when it is not Base64, bytes that are not
  // UTF-8 replaced), "record" that decoded text parsed as JSON (null when it is not JSON).
  nlohmann::json list() const;
  void clear();

  const Limits limits;

 private:
  struct Message {
    std::string id;
    std::string insertionTime;  // ISO 8601, UTC
    std::string text;
  };
  std::string signature(std::string_view permissions, std::string_view start,
                        std::string_view expiry, std::string_view version) const;

  const std::string key_;  // random, set at construction

  mutable std::mutex mutex_;
  std::deque<Message> messages_;  // guarded by mutex_
  std::uint64_t evicted_ = 0;     // guarded by mutex_
};

// The message text of a Put Message body ("<QueueMessage><MessageText>TEXT</MessageText>
// </QueueMessage>", an XML declaration and white space allowed around), XML character references
// resolved; nothing when the body has another shape.
std::optional<std::string> queueMessageText(std::string_view body);

// Standard Base64 decoding (padding required, no white space); nothing for other text.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace vorelia::sandbox
