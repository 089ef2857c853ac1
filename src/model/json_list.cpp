#include "model/json_list.h"

#include <iterator>
#include <string>
#include <vector>

namespace vorelia {
namespace {

using Json = nlohmann::json;

// An iterator over the bytes that lets the reader see how far the parser has read: the parser
// copies its iterators, so the position they advance lives with the reader. The parser reads no
// further than the token it reports, so at the start of an array or a dictionary the last byte
// read is its bracket, and at its end, its closing bracket.
class Cursor {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  explicit Cursor(const char** shared) : shared_(shared), fixed_(nullptr) {}
  explicit Cursor(const char* end) : shared_(nullptr), fixed_(end) {}
  reference operator*() const { return *here(); }
  Cursor& operator++() {
    ++*shared_;
    return *this;
  }
  bool operator==(const Cursor& other) const { return here() == other.here(); }
  bool operator!=(const Cursor& other) const { return !(*this == other); }

 private:
  const char* here() const { return shared_ != nullptr ? *shared_ : fixed_; }
  const char** shared_;
  const char* fixed_;
};

class ListReader final : public nlohmann::json_sax<Json> {
 public:
  ListReader(std::string_view bytes, std::string_view listKey, const JSONListEvents& events)
      : bytes_(bytes), listKey_(listKey), events_(events), read_(bytes.data()) {}

  bool run() {
    const char* end = bytes_.data() + bytes_.size();
    return Json::sax_parse(Cursor(&read_), Cursor(end), this) && topLevelWasDictionary_;
  }

  bool null() override { return scalar(Json()); }
  bool boolean(bool value) override { return scalar(Json(value)); }
  bool number_integer(number_integer_t value) override { return scalar(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return scalar(Json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return scalar(Json(value)); }
  bool string(string_t& value) override { return scalar(Json(std::move(value))); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(Json::object()); }
  bool start_array(std::size_t) override {
    if (depth_ == 1 && inListMember_) {  // the list itself
      listOpen_ = true;
      index_ = 0;
      ++depth_;
      if (events_.listStarted) events_.listStarted();
      return true;
    }
    return open(Json::array());
  }
  bool end_object() override { return close(); }
  bool end_array() override {
    if (depth_ == 2 && listOpen_) {
      listOpen_ = false;
      --depth_;
      return true;
    }
    return close();
  }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      key_ = name;
      inListMember_ = name == listKey_;
    } else if (building()) {
      key_ = name;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  std::size_t offset() const { return static_cast<std::size_t>(read_ - bytes_.data()); }
  bool inElement() const { return listOpen_ && depth_ > 2; }
  bool building() const { return inElement() && events_.buildElements; }

  // Places a value in the tree being built.
  Json* place(Json value) {
    Json& parent = *open_.back();
    if (parent.is_object()) {
      Json& slot = parent[key_];
      slot = std::move(value);
      return &slot;
    }
    parent.push_back(std::move(value));
    return &parent.back();
  }

  bool scalar(Json value) {
    if (depth_ == 0) return false;  // a bare scalar is no dictionary
    if (depth_ == 1) {
      if (events_.member) events_.member(key_, JSON::FromObject(std::move(value)));
    } else if (depth_ == 2 && listOpen_) {
      const std::size_t at = offset();
      if (events_.element) events_.element(index_++, JSON::FromObject(std::move(value)), at, at);
    } else if (building()) {
      place(std::move(value));
    }
    return true;
  }

  bool open(Json container) {
    if (++depth_ > JSON::MaxDepth) return false;
    if (depth_ == 1) {
      topLevelWasDictionary_ = container.is_object();
      return topLevelWasDictionary_;
    }
    if (depth_ == 2 && !listOpen_) {  // another member's container: handed over as null
      if (events_.member) events_.member(key_, JSON());
      return true;
    }
    if (depth_ == 3 && listOpen_) {  // an element starts at its bracket
      elementBegin_ = offset() - 1;
      if (events_.buildElements) {
        element_ = std::move(container);
        open_.assign(1, &element_);
      }
      return true;
    }
    if (building()) open_.push_back(place(std::move(container)));
    return true;
  }

  bool close() {
    if (building()) open_.pop_back();
    if (--depth_ == 2 && listOpen_ && events_.element) {
      events_.element(index_++,
                      events_.buildElements ? JSON::FromObject(std::move(element_)) : JSON(),
                      elementBegin_, offset());
    }
    return true;
  }

  std::string_view bytes_;
  std::string_view listKey_;
  const JSONListEvents& events_;
  const char* read_;  // the parser's position, advanced through Cursor
  std::size_t depth_ = 0;
  bool topLevelWasDictionary_ = false;
  bool inListMember_ = false;
  bool listOpen_ = false;
  std::size_t index_ = 0;
  std::string key_;
  std::size_t elementBegin_ = 0;
  Json element_;
  std::vector<Json*> open_;  // the element's containers being built, innermost last
};

}  // namespace

JSONListWriter::JSONListWriter(std::string_view key)
    : text_("{" + Json(std::string(key)).dump() + ":[") {}

void JSONListWriter::add(const JSON& element) {
  if (!valid_) return;
  try {
    if (!first_) text_ += ',';
    text_ += element.object().dump();
    first_ = false;
  } catch (const Json::exception&) {  // text that is not UTF-8
    valid_ = false;
    text_.clear();
    text_.shrink_to_fit();
  }
}

std::optional<std::string> JSONListWriter::finish() && {
  if (!valid_) return std::nullopt;
  text_ += "]}";
  return std::move(text_);
}

bool ReadJSONList(std::string_view bytes, std::string_view listKey, const JSONListEvents& events) {
  return ListReader(bytes, listKey, events).run();
}

}  // namespace vorelia
