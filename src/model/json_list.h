// Long lists in JSON documents, read and written one element at a time.
//
// ReadJSONList reads a document whose top level is a dictionary holding one long list, event by
// event, never building the whole tree: each element of the list is handed over on its own, with
// where its text stands, and the other top-level members are handed over as values. A list of a
// hundred thousand elements then costs what one element costs.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "model/json.h"

namespace vorelia {

struct JSONListEvents {
  // The list member starts as an array (again, when a later member of the same name is one).
  std::function<void()> listStarted;
  // A top-level member other than the list, in document order. Arrays and dictionaries are
  // handed over as the null value: only scalars are read here.
  std::function<void(std::string_view key, JSON value)> member;
  // The index-th element of the list (counted from 0 again when the list starts again: the last
  // member of that name counts, as in a parsed tree; one that is no array comes as a member). An
  // element that is an array or a
  // dictionary stands in the bytes from begin to end, and is handed over as a tree only when
  // buildElements is set (else as null); a scalar is handed over as its value, begin == end.
  std::function<void(std::size_t index, JSON element, std::size_t begin, std::size_t end)> element;
  bool buildElements = false;
};

// Reads bytes, calling events as it goes. Returns false, after events that may already have been
// called, when the bytes are not JSON, the top level is not a dictionary, or they nest deeper than
// JSON::MaxDepth: a caller then drops what it was told.
bool ReadJSONList(std::string_view bytes, std::string_view listKey, const JSONListEvents& events);
// The same for the bytes of the open file fd, from where it stands to its end, read a piece at a
// time: begin and end count from where it stood. Returns false too when a read fails.
bool ReadJSONList(int fd, std::string_view listKey, const JSONListEvents& events);

// Writes {"key": [element, ...]} compactly as elements are added, byte for byte as
// JSON{{key, JSON(list)}} would be serialised, without holding the list as a tree.
class JSONListWriter {
 public:
  explicit JSONListWriter(std::string_view key);
  void add(const JSON& element);
  // Room for a document of about bytes, so that a long one is not copied as it grows.
  void reserve(std::size_t bytes) { text_.reserve(bytes); }
  // The text added since the last call, handed over and forgotten, so that a long document can go
  // to a file piece by piece; finish() then gives the rest. Whatever was taken stands for nothing
  // once finish() is absent.
  std::string takeWritten() { return std::exchange(text_, std::string()); }
  // The document; absent when an element could not be serialised (text that is not UTF-8).
  std::optional<std::string> finish() &&;

 private:
  std::string text_;
  bool first_ = true;
  bool valid_ = true;
};

}  // namespace vorelia
