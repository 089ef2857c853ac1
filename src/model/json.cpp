#include "model/json.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iostream>
#include <utility>

namespace vorelia {
namespace {

JSON::Type Classify(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::boolean:
      return JSON::Type::boolean;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return JSON::Type::number;
    case nlohmann::json::value_t::string:
      return JSON::Type::string;
    case nlohmann::json::value_t::array:
      return JSON::Type::array;
    case nlohmann::json::value_t::object:
      return JSON::Type::dictionary;
    case nlohmann::json::value_t::null:
      return JSON::Type::null;
    default:  // binary and discarded values
      return JSON::Type::unknown;
  }
}

// The shortest decimal text that reads back as the same number; integral values without a
// fraction ("12", not "12.0"), as numbers read from the service print.
std::string NumberText(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  const double d = value.get<double>();
  if (!std::isfinite(d)) return std::isnan(d) ? "nan" : (d > 0 ? "inf" : "-inf");
  if (d == std::trunc(d) && std::fabs(d) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(d));
  }
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), d);
  return std::string(buffer.data(), result.ptr);
}

// Whether bytes nest arrays and objects deeper than MaxDepth. Brackets inside strings do not count,
// so for a valid document this is its exact depth; for anything else the parser fails anyway.
bool NestsDeeperThanMax(std::string_view bytes) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > JSON::MaxDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string_view JSONErrorMessage(JSONError error) {
  switch (error) {
    case JSONError::unsupportedType:
      return "It is an unsupported type.";
    case JSONError::indexOutOfBounds:
      return "Array Index is out of bounds.";
    case JSONError::elementTooDeep:
      return "Element too deep. Increase maxObjectDepth and make sure there is no reference loop.";
    case JSONError::wrongType:
      return "Couldn't merge, because the JSONs differ in type on top level.";
    case JSONError::notExist:
      return "Dictionary key does not exist.";
    case JSONError::invalidJSON:
      return "JSON is invalid.";
  }
  return "";
}

JSON::JSON(bool value) { setObject(value); }
JSON::JSON(std::int64_t value) { setObject(value); }
JSON::JSON(std::uint64_t value) { setObject(value); }
JSON::JSON(double value) { setObject(value); }
JSON::JSON(std::string value) { setObject(std::move(value)); }

JSON::JSON(std::vector<JSON> elements) {
  nlohmann::json array = nlohmann::json::array();
  for (auto& element : elements) array.push_back(std::move(element.value_));
  setObject(std::move(array));
}

JSON::JSON(std::initializer_list<std::pair<std::string, JSON>> members) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [name, value] : members) object[name] = value.value_;
  setObject(std::move(object));
}

JSON JSON::FromObject(nlohmann::json object) {
  JSON json;
  json.setObject(std::move(object));
  return json;
}

namespace {

// A parsed document as a value: null unless it parsed and is an array or an object.
JSON Document(nlohmann::json parsed) {
  if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return JSON();
  return JSON::FromObject(std::move(parsed));
}

}  // namespace

JSON JSON::Parse(std::string_view bytes) {
  // nlohmann parses any depth, but copying and serialising recurse once per level: a deep
  // document never gets that far.
  if (NestsDeeperThanMax(bytes)) return JSON();
  return Document(nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false));
}

JSON JSON::ParseFragment(std::string_view bytes) {
  if (NestsDeeperThanMax(bytes)) return JSON();
  nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  return parsed.is_discarded() ? JSON() : FromObject(std::move(parsed));
}

JSON JSON::Failed(JSONError error) {
  JSON json;
  json.error_ = error;
  return json;
}

void JSON::setObject(nlohmann::json object) {
  type_ = Classify(object);
  value_ = type_ == Type::unknown ? nlohmann::json() : std::move(object);
  error_ = type_ == Type::unknown ? std::optional(JSONError::unsupportedType) : std::nullopt;
}

JSON JSON::operator[](std::string_view key) const {
  if (type_ != Type::dictionary) return Failed(error_.value_or(JSONError::wrongType));
  const auto member = value_.find(key);
  if (member == value_.end()) return Failed(JSONError::notExist);
  return FromObject(*member);
}

JSON JSON::operator[](std::int64_t index) const {
  if (type_ != Type::array) return Failed(error_.value_or(JSONError::wrongType));
  if (index < 0 || static_cast<std::uint64_t>(index) >= value_.size()) {
    return Failed(JSONError::indexOutOfBounds);
  }
  return FromObject(value_[static_cast<std::size_t>(index)]);
}

JSON JSON::path(std::initializer_list<JSONKey> keys) const {
  JSON current = *this;
  for (const auto& key : keys) {
    current = std::visit([&current](const auto& k) { return current[k]; }, key);
  }
  return current;
}

std::string JSON::stringValue() const {
  switch (type_) {
    case Type::string:
      return value_.get<std::string>();
    case Type::number:
      return NumberText(value_);
    case Type::boolean:
      return value_.get<bool>() ? "true" : "false";
    default:
      return "";
  }
}

bool JSON::boolValue() const {
  switch (type_) {
    case Type::boolean:
      return value_.get<bool>();
    case Type::number:
      return value_.get<double>() != 0;
    case Type::string: {
      const auto& text = value_.get_ref<const std::string&>();
      for (std::string_view yes : {"true", "y", "t", "yes", "1"}) {
        if (EqualsIgnoringCase(text, yes)) return true;
      }
      return false;
    }
    default:
      return false;
  }
}

double JSON::numberValue() const {
  double d = 0;
  switch (type_) {
    case Type::number:
      d = value_.get<double>();
      break;
    case Type::boolean:
      return value_.get<bool>() ? 1 : 0;
    case Type::string: {
      // from_chars also reads "nan", "inf" and "infinity"; none of them is a decimal number.
      const auto& text = value_.get_ref<const std::string&>();
      const auto result = std::from_chars(text.data(), text.data() + text.size(), d);
      if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return 0;
      break;
    }
    default:
      return 0;
  }
  return std::isfinite(d) ? d : 0;
}

std::int64_t JSON::int64Value() const {
  if (value_.is_number_integer()) return value_.get<std::int64_t>();
  const double d = numberValue();
  if (!(d > -9.2e18 && d < 9.2e18)) return 0;  // NaN and out of range read as 0
  return static_cast<std::int64_t>(d);
}

std::optional<std::vector<JSON>> JSON::array() const& {
  if (type_ != Type::array) return std::nullopt;
  return JSON(*this).array();
}

std::optional<std::vector<JSON>> JSON::array() && {
  if (type_ != Type::array) return std::nullopt;
  std::vector<JSON> elements;
  elements.reserve(value_.size());
  for (auto& element : value_) elements.push_back(FromObject(std::move(element)));
  return elements;
}

std::optional<std::vector<std::pair<std::string, JSON>>> JSON::dictionary() const {
  if (type_ != Type::dictionary) return std::nullopt;
  std::vector<std::pair<std::string, JSON>> members;
  members.reserve(value_.size());
  for (const auto& [name, value] : value_.items()) members.emplace_back(name, FromObject(value));
  return members;
}

std::optional<std::string> JSON::rawData(bool prettyPrinted) const {
  if (type_ != Type::array && type_ != Type::dictionary) return std::nullopt;
  try {
    return value_.dump(prettyPrinted ? 2 : -1);
  } catch (const nlohmann::json::exception&) {  // text that is not UTF-8
    return std::nullopt;
  }
}

std::optional<std::string> JSON::rawString(bool prettyPrinted) const {
  switch (type_) {
    case Type::array:
    case Type::dictionary: {
      auto data = rawData(prettyPrinted);
      if (!data) {
        std::cout << "Could not serialize object to JSON because: "
                  << JSONErrorMessage(JSONError::invalidJSON) << std::endl;
      }
      return data;
    }
    case Type::string:
    case Type::number:
    case Type::boolean:
      return stringValue();
    case Type::null:
      return "null";
    case Type::unknown:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace vorelia
