#include "model/json_list.h"

#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

namespace vorelia {
namespace {

using Json = nlohmann::json;

// The bytes the parser reads: all in memory, or read from a file a buffer at a time. offset() is
// where the parser stands, counted from the first byte.
class Source {
 public:
  explicit Source(std::string_view bytes)
      : start_(bytes.data()), here_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  explicit Source(int fd) : fd_(fd), buffer_(64 * 1024) { start_ = here_ = end_ = buffer_.data(); }

  std::size_t offset() const { return before_ + static_cast<std::size_t>(here_ - start_); }
  bool failed() const { return failed_; }
  char current() const { return *here_; }
  void advance() { ++here_; }
  // Whether every byte was read: the buffer is used up and the file, if any, has no more.
  bool atEnd() {
    if (here_ != end_) return false;
    if (fd_ < 0 || failed_) return true;
    ssize_t got = 0;
    do {
      got = ::read(fd_, buffer_.data(), buffer_.size());
    } while (got < 0 && errno == EINTR);
    failed_ = got < 0;
    if (got <= 0) return true;
    before_ += static_cast<std::size_t>(end_ - start_);
    here_ = start_;
    end_ = start_ + got;
    return false;
  }

 private:
  int fd_ = -1;
  std::vector<char> buffer_;
  const char* start_;
  const char* here_;
  const char* end_;
  std::size_t before_ = 0;  // bytes of the file before start_
  bool failed_ = false;     // a read failed: the bytes end there, and do not count as read
};

// An iterator over a Source: the parser copies its iterators, so the position they advance lives
// with the source. The parser reads no further than the token it reports, so at the start of an
// array or a dictionary the last byte read is its bracket, and at its end, its closing bracket.
// The end iterator has no source.
class Cursor {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  explicit Cursor(Source* source = nullptr) : source_(source) {}
  char operator*() const { return source_->current(); }
  Cursor& operator++() {
    source_->advance();
    return *this;
  }
  bool operator==(const Cursor& other) const { return atEnd() == other.atEnd(); }
  bool operator!=(const Cursor& other) const { return !(*this == other); }

 private:
  bool atEnd() const { return source_ == nullptr || source_->atEnd(); }
  Source* source_;
};

class ListReader final : public nlohmann::json_sax<Json> {
 public:
  ListReader(Source& source, std::string_view listKey, const JSONListEvents& events)
      : source_(source), listKey_(listKey), events_(events) {}

  bool run() {
    return Json::sax_parse(Cursor(&source_), Cursor(), this) && topLevelWasDictionary_ &&
           !source_.failed();
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
  std::size_t offset() const { return source_.offset(); }
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

  Source& source_;
  std::string_view listKey_;
  const JSONListEvents& events_;
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
  Source source(bytes);
  return ListReader(source, listKey, events).run();
}

bool ReadJSONList(int fd, std::string_view listKey, const JSONListEvents& events) {
  Source source(fd);
  return ListReader(source, listKey, events).run();
}

}  // namespace vorelia
