// The JSON value on any bytes: parsing never fails, every lookup and typed reader answers with a
// value or its default, the readers agree with each other, and what serialises parses back to the
// same text.
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model/json.h"
#include "model/json_list.h"

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
  // Read one element at a time, the "value" list gives the same elements, each also where its
  // text stands, and the scalar members their last values.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto list = json.type() == JSON::Type::dictionary ? json["value"].array() : std::nullopt;
  std::vector<JSON> elements;
  std::map<std::string, JSON> members;
  vorelia::JSONListEvents events;
  events.buildElements = true;
  events.listStarted = [&] { elements.clear(); };
  events.member = [&](std::string_view key, JSON value) {
    if (key == "value") elements.clear();
    members[std::string(key)] = std::move(value);
  };
  events.element = [&](std::size_t index, JSON element, std::size_t begin, std::size_t end) {
    FUZZ_CHECK(index == elements.size() && begin <= end && end <= bytes.size());
    if (begin < end) FUZZ_CHECK(JSON::ParseFragment(bytes.substr(begin, end - begin)) == element);
    elements.push_back(std::move(element));
  };
  FUZZ_CHECK(vorelia::ReadJSONList(bytes, "value", events) ==
             (json.type() == JSON::Type::dictionary));
  FUZZ_CHECK(list ? elements == *list : elements.empty());
  for (const auto& [key, value] : members) {
    const JSON member = json[key];
    if (member.type() != JSON::Type::array && member.type() != JSON::Type::dictionary) {
      FUZZ_CHECK(member == value);
    }
  }
  return 0;
}
