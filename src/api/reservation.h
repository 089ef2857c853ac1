// Reservation: the service's answer to a reservation of upload resources, read as it is parsed.
// The answer's text is kept as it came and each file's resource is remembered by where it stands
// in it, so that a reservation for a hundred thousand files costs its text and a few bytes a file,
// not a tree. A value type; not guarded (one workflow reads it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/json.h"

namespace vorelia {

class Reservation {
 public:
  // Reads an answer. One that is not a dictionary of JSON, or that nests deeper than
  // JSON::MaxDepth, reads as an empty reservation: no error, no resource.
  static Reservation Read(std::string answer);

  bool hasError = false;   // "hasError", as boolValue reads it
  std::string message;     // "message", as stringValue reads it
  std::string storageUrl;  // "storageUrl", as stringValue reads it

  // The resources in "value" (none when it is not an array), the n-th for the n-th file.
  std::size_t size() const { return spans_.size(); }
  // The n-th resource, any JSON value, as the service sent it (a number or text as itself).
  // REQUIRES: n < size().
  JSON resource(std::size_t n) const;

 private:
  // Where a resource stands: in text_, or, for a resource that is no array or dictionary, in
  // scalars_ as its compact text.
  struct Span {
    std::uint64_t begin = 0;
    std::uint32_t length = 0;
    bool scalar = false;
  };
  std::string text_;
  std::string scalars_;
  std::vector<Span> spans_;
};

}  // namespace vorelia
