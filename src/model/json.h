// JSON: the lenient dynamic value through which every service answer is read and every request body
// built. Lookups never fail: a missing member, an index out of range or a value of the wrong kind
// reads as the null value (carrying why), and the typed readers give defaults ("" / false / 0 /
// absent list). Integers are kept exact. A value type; copies are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorelia {

// Why a lookup produced the value it did. The number is the error's code.
enum class JSONError {
  unsupportedType = 999,
  indexOutOfBounds = 900,
  elementTooDeep = 902,
  wrongType = 901,
  notExist = 500,
  invalidJSON = 490,
};

// The error's description, e.g. "Dictionary key does not exist."
std::string_view JSONErrorMessage(JSONError error);

// A lookup key: an array index or a member name.
using JSONKey = std::variant<std::int64_t, std::string>;

class JSON {
 public:
  // Type::boolean stands for the bool type (bool is a keyword here).
  enum class Type { number, string, boolean, array, dictionary, null, unknown };

  // The null value.
  JSON() = default;
  JSON(std::nullptr_t) {}
  JSON(bool value);
  JSON(int value) : JSON(static_cast<std::int64_t>(value)) {}
  JSON(std::int64_t value);
  JSON(std::uint64_t value);
  JSON(double value);
  JSON(const char* value) : JSON(std::string(value)) {}
  JSON(std::string value);
  JSON(std::string_view value) : JSON(std::string(value)) {}
  JSON(std::vector<JSON> elements);
  // A dictionary from pairs of member name and value: how request bodies are built.
  JSON(std::initializer_list<std::pair<std::string, JSON>> members);
  // Classifies an already parsed value (nlohmann's binary and discarded values are unknown).
  static JSON FromObject(nlohmann::json object);
  // Arrays and objects nest at most this deep in a parsed document ("[[]]" is 2 deep).
  static constexpr std::size_t MaxDepth = 256;
  // Parses bytes. Anything that does not parse, whose top level is not an array or an object, or
  // that nests deeper than MaxDepth, gives the null value.
  static JSON Parse(std::string_view bytes);
  // Parse, but any JSON value may stand at the top level: "7", "\"text\"" and "null" give
  // that number, string and null.
  static JSON ParseFragment(std::string_view bytes);

  Type type() const { return type_; }
  const std::optional<JSONError>& error() const { return error_; }

  // Replaces the underlying value, reclassifies it and clears the error.
  void setObject(nlohmann::json object);
  // The underlying value, whatever its type.
  const nlohmann::json& object() const { return value_; }

  // Member lookup. A dictionary without the member gives null with notExist; a non-dictionary gives
  // null carrying the receiver's own error, else wrongType.
  JSON operator[](std::string_view key) const;
  JSON operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  // Element lookup. Outside 0..count-1 gives null with indexOutOfBounds; a non-array gives null
  // carrying the receiver's error, else wrongType.
  JSON operator[](std::int64_t index) const;
  JSON operator[](int index) const { return (*this)[static_cast<std::int64_t>(index)]; }
  // Applies the lookups of path from left to right; an empty path gives the receiver. A path
  // through a missing member ends in null carrying the first failure's error.
  JSON path(std::initializer_list<JSONKey> keys) const;

  // string: the text; number: its decimal text; bool: "true"/"false"; otherwise "".
  std::string stringValue() const;
  // bool: itself; number: non-zero; string: "true", "y", "t", "yes" or "1" ignoring case;
  // otherwise false.
  bool boolValue() const;
  // number: itself; string: its decimal reading, 0 when it is not one; bool: 1 or 0; otherwise 0.
  // Always finite: "nan", "inf" and numbers out of range read as 0.
  double numberValue() const;
  double doubleValue() const { return numberValue(); }
  // numberValue as an exact integer where the number is one (fractions are cut toward zero).
  std::int64_t int64Value() const;
  // The elements, each wrapped; absent unless the type is array. On a value about to go away the
  // elements are moved out, not copied.
  std::optional<std::vector<JSON>> array() const&;
  std::optional<std::vector<JSON>> array() &&;
  // The members, each wrapped; absent unless the type is dictionary.
  std::optional<std::vector<std::pair<std::string, JSON>>> dictionary() const;

  // The serialized document, compact (or pretty-printed). Absent (invalidJSON) when the value is
  // not an array or an object, or holds text that is not UTF-8.
  std::optional<std::string> rawData(bool prettyPrinted = false) const;
  // dictionary/array: the serialized document (pretty-printed by default), absent when it cannot be
  // serialized (a line saying why goes to standard output); string: the text itself; number: its
  // decimal text; bool: "true"/"false"; null: "null"; unknown: absent.
  std::optional<std::string> rawString(bool prettyPrinted = true) const;

  bool operator==(const JSON& other) const {
    return type_ == other.type_ && value_ == other.value_;
  }

 private:
  static JSON Failed(JSONError error);

  nlohmann::json value_;  // the underlying value (null for the null type)
  Type type_ = Type::null;
  std::optional<JSONError> error_;
};

}  // namespace vorelia
