// The statistics queue's message on any record: the Put Message body the plugin writes is one
// the queue's reader (the sandbox's) takes, and its text decodes to the record's pretty-printed
// JSON. Base64 carries any bytes; the queue's readers take any body without failing.
#include <string>
#include <string_view>

#include "api/queue_message.h"
#include "fuzz_support.h"
#include "sandbox/message_queue.h"

namespace {

using vorelia::JSON;

void CheckBody(const JSON& record) {
  const auto body = vorelia::QueueMessageBody(record);
  const auto json = record.rawData(true);
  FUZZ_CHECK(body.has_value() == json.has_value());
  if (!body) return;
  const auto text = vorelia::sandbox::queueMessageText(*body);
  FUZZ_CHECK(text && vorelia::sandbox::base64Decode(*text) == json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(vorelia::sandbox::base64Decode(vorelia::Base64Encode(bytes)) == bytes);
  vorelia::sandbox::queueMessageText(bytes);
  vorelia::sandbox::base64Decode(bytes);

  // A usage record as the publishing tasks build it, and any document at all.
  vorelia::fuzz::FuzzFields in(data, size);
  CheckBody(JSON{{"action", in.next()},
                 {"account", in.next()},
                 {"imageCount", static_cast<std::int64_t>(in.byte())}});
  CheckBody(JSON::Parse(bytes));
  return 0;
}
