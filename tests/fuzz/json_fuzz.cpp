// The JSON value on any bytes: parsing never fails, every lookup and typed reader answers with a
// value or its default, the readers agree with each other, and what serialises parses back to the
// same text.
#include <cmath>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "model/json.h"

namespace {

using vorelia::JSON;
using vorelia::JSONError;

// Deeper values are still parsed and serialised, only not walked member by member (each level
// copies what is below it).
constexpr int WalkedDepth = 24;

// A member name that the document cannot hold: longer than the whole input.
std::string missingName;

void CheckFailedLookup(const JSON& value, JSONError error) {
  FUZZ_CHECK(value.type() == JSON::Type::null && value.error() == error);
  FUZZ_CHECK(value.stringValue().empty() && !value.boolValue() && value.numberValue() == 0);
  FUZZ_CHECK(!value.array() && !value.dictionary() && !value.rawData());
  FUZZ_CHECK(value.rawString() == "null");
}

void CheckReaders(const JSON& value) {
  const std::string text = value.stringValue();
  const double number = value.numberValue();
  const bool yes = value.boolValue();
  value.int64Value();
  FUZZ_CHECK(std::isfinite(number));
  switch (value.type()) {
    case JSON::Type::number:
      // A number out of range ("1e400") reads as 0 but is still not zero.
      FUZZ_CHECK(value.rawString() == text && (yes || number == 0));
      if (number != 0) FUZZ_CHECK(std::strtod(text.c_str(), nullptr) == number);
      break;
    case JSON::Type::boolean:
      FUZZ_CHECK(text == (yes ? "true" : "false") && number == (yes ? 1 : 0));
      break;
    case JSON::Type::string:
      FUZZ_CHECK(value.rawString() == text);
      break;
    default:
      FUZZ_CHECK(text.empty());
  }
}

void Walk(const JSON& value, int depth) {
  CheckReaders(value);
  if (const auto elements = value.array()) {
    const auto count = static_cast<std::int64_t>(elements->size());
    CheckFailedLookup(value[-1], JSONError::indexOutOfBounds);
    CheckFailedLookup(value[count], JSONError::indexOutOfBounds);
    CheckFailedLookup(value["0"], JSONError::wrongType);
    if (depth >= WalkedDepth) return;
    for (std::int64_t i = 0; i < count; ++i) {
      FUZZ_CHECK(value[i] == (*elements)[i] && value.path({i}) == value[i]);
      Walk((*elements)[i], depth + 1);
    }
  } else if (const auto members = value.dictionary()) {
    CheckFailedLookup(value[0], JSONError::wrongType);
    if (depth >= WalkedDepth) return;
    for (const auto& [name, member] : *members) {
      FUZZ_CHECK(value[name] == member);
      // A path through a missing member ends in the first failure's error.
      CheckFailedLookup(value.path({name, missingName, 0}), member.type() == JSON::Type::dictionary
                                                                ? JSONError::notExist
                                                                : JSONError::wrongType);
      Walk(member, depth + 1);
    }
  } else {
    CheckFailedLookup(value["a"], JSONError::wrongType);
    CheckFailedLookup(value[0], JSONError::wrongType);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const JSON json = JSON::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  missingName.assign(size + 1, 'm');
  if (json.type() != JSON::Type::array && json.type() != JSON::Type::dictionary) {
    FUZZ_CHECK(json.type() == JSON::Type::null && json.stringValue().empty() && !json.array());
    return 0;
  }
  Walk(json, 0);
  for (const bool pretty : {false, true}) {
    // Parsed text is UTF-8, so it always serialises; the text parses back to itself.
    const auto text = json.rawData(pretty);
    FUZZ_CHECK(text && json.rawString(pretty) == text);
    const JSON again = JSON::Parse(*text);
    FUZZ_CHECK(again.type() == json.type() && again.rawData(pretty) == text);
  }
  // Keeping the "value" list as text changes only the form of its elements.
  const JSON kept = JSON::ParseKeepingListAsText(
      std::string_view(reinterpret_cast<const char*>(data), size), "value");
  const auto list = json.type() == JSON::Type::dictionary ? json["value"].array() : std::nullopt;
  FUZZ_CHECK(list || kept == json);
  for (std::size_t i = 0; list && i < list->size(); ++i) {
    const JSON element = kept["value"][static_cast<std::int64_t>(i)];
    FUZZ_CHECK(JSON::ParseFragment(element.stringValue()) == (*list)[i]);
  }
  return 0;
}
