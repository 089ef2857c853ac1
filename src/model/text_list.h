// TextList: strings one after another in one buffer, a few bytes each beside the text itself,
// for the lists of a task of a hundred thousand files (their paths, their resource ids). A value
// type; not guarded.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace vorelia {

class TextList {
 public:
  TextList() = default;
  TextList(std::initializer_list<std::string_view> texts) {
    for (const auto text : texts) add(text);
  }
  TextList(const std::vector<std::string>& texts) {  // NOLINT: a list converts as it is
    std::size_t bytes = 0;
    for (const auto& text : texts) bytes += text.size();
    reserve(texts.size(), bytes);
    for (const auto& text : texts) add(text);
  }

  // Room for count texts of about bytes in all, so that a long list is not copied as it grows.
  void reserve(std::size_t count, std::size_t bytes) {
    ends_.reserve(count);
    text_.reserve(bytes);
  }
  void add(std::string_view text) {
    text_ += text;
    ends_.push_back(text_.size());
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // REQUIRES: n < size().
  std::string_view operator[](std::size_t n) const {
    const std::size_t begin = n == 0 ? 0 : ends_[n - 1];
    return std::string_view(text_).substr(begin, ends_[n] - begin);
  }

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    Iterator() = default;
    Iterator(const TextList* list, std::size_t n) : list_(list), n_(n) {}
    std::string_view operator*() const { return (*list_)[n_]; }
    Iterator& operator++() {
      ++n_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++n_;
      return before;
    }
    bool operator==(const Iterator& other) const { return n_ == other.n_; }

   private:
    const TextList* list_ = nullptr;
    std::size_t n_ = 0;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;  // where each text ends in text_
};

}  // namespace vorelia
