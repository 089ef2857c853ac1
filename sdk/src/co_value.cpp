#include "sdk/co_value.h"

COProcessValue COProcessValue::Unsigned(std::uint64_t v) {
  COProcessValue r;
  r.kind_ = Kind::unsignedInteger;
  r.unsigned_ = v;
  return r;
}

COProcessValue COProcessValue::Signed(std::int64_t v) {
  COProcessValue r;
  r.kind_ = Kind::signedInteger;
  r.signed_ = v;
  return r;
}

COProcessValue COProcessValue::Boolean(bool v) {
  COProcessValue r;
  r.kind_ = Kind::boolean;
  r.bool_ = v;
  return r;
}

COProcessValue COProcessValue::MakeArray(Array items) {
  COProcessValue r;
  r.kind_ = Kind::array;
  r.array_ = std::move(items);
  return r;
}

COProcessValue COProcessValue::MakeDictionary(Dictionary members) {
  COProcessValue r;
  r.kind_ = Kind::dictionary;
  r.dictionary_ = std::move(members);
  return r;
}

const COProcessValue* COProcessValue::member(const std::string& key) const {
  for (const auto& [name, value] : dictionary_) {
    if (name == key) return &value;
  }
  return nullptr;
}

bool COProcessValue::operator==(const COProcessValue& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::unsignedInteger:
      return unsigned_ == other.unsigned_;
    case Kind::signedInteger:
      return signed_ == other.signed_;
    case Kind::boolean:
      return bool_ == other.bool_;
    case Kind::array:
      return array_ == other.array_;
    case Kind::dictionary:
      return dictionary_ == other.dictionary_;
  }
  return false;
}
