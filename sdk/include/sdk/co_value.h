// Values that cross the host boundary: element values, action settings, process settings and the
// host's error object.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// The new value of a settings element or an action setting, as the host passes it: a string, a
// number, a Boolean or an array of strings.
using COValue = std::variant<std::string, double, bool, std::vector<std::string>>;

// The settings the host keeps per publishing action, from element identifier to value.
using COActionSettingsDictionary = std::map<std::string, COValue>;

// A process-settings value. It keeps its type: the host reads unsigned and signed integers
// differently, and a Boolean is not a number.
class COProcessValue {
 public:
  enum class Kind { unsignedInteger, signedInteger, boolean, array, dictionary };
  using Array = std::vector<COProcessValue>;
  using Dictionary = std::vector<std::pair<std::string, COProcessValue>>;  // in insertion order

  static COProcessValue Unsigned(std::uint64_t v);
  static COProcessValue Signed(std::int64_t v);
  static COProcessValue Boolean(bool v);
  static COProcessValue MakeArray(Array items);
  static COProcessValue MakeDictionary(Dictionary members);

  Kind kind() const { return kind_; }
  std::uint64_t unsignedValue() const { return unsigned_; }
  std::int64_t signedValue() const { return signed_; }
  bool boolValue() const { return bool_; }
  const Array& arrayValue() const { return array_; }
  const Dictionary& dictionaryValue() const { return dictionary_; }
  // The member under key, or nullptr. REQUIRES: kind() == Kind::dictionary for a non-null result.
  const COProcessValue* member(const std::string& key) const;

  bool operator==(const COProcessValue& other) const;

 private:
  Kind kind_ = Kind::boolean;
  std::uint64_t unsigned_ = 0;
  std::int64_t signed_ = 0;
  bool bool_ = false;
  Array array_;
  Dictionary dictionary_;
};

// The host's error object: what a failed host operation leaves in the error slot.
struct COError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  std::string failureReason;
};
