// IdList: text ids one after another in one buffer, a few bytes a file beside the text itself,
// for the lists of resource ids of a task of a hundred thousand files. A value type; not guarded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorelia {

class IdList {
 public:
  // Room for count ids of about bytes in all, so that a long list is not copied as it grows.
  void reserve(std::size_t count, std::size_t bytes) {
    ends_.reserve(count);
    text_.reserve(bytes);
  }
  void add(std::string_view id) {
    text_ += id;
    ends_.push_back(text_.size());
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // REQUIRES: n < size().
  std::string_view operator[](std::size_t n) const {
    const std::size_t begin = n == 0 ? 0 : ends_[n - 1];
    return std::string_view(text_).substr(begin, ends_[n] - begin);
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;  // where each id ends in text_
};

}  // namespace vorelia
