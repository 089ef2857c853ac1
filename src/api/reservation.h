// Reservation: the service's answer to a reservation of upload resources, read as it is parsed.
// The answer stays in its file, kept open, and each file's resource is remembered by where it
// stands in it and read from there when it is needed, so that a reservation for a hundred thousand
// files costs a few bytes a file in memory, not its text or a tree. Move-only; not guarded (one
// workflow reads it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "model/json.h"

namespace vorelia {

class Reservation {
 public:
  // Reads the answer in file and keeps the file open, so that it may be removed from its folder
  // meanwhile. One that is not a dictionary of JSON, that nests deeper than JSON::MaxDepth, or
  // that cannot be read, reads as an empty reservation: no error, no resource.
  static Reservation Read(const std::filesystem::path& file);

  bool hasError = false;   // "hasError", as boolValue reads it
  std::string message;     // "message", as stringValue reads it
  std::string storageUrl;  // "storageUrl", as stringValue reads it

  // The resources in "value" (none when it is not an array), the n-th for the n-th file.
  std::size_t size() const { return spans_.size(); }
  // The n-th resource, any JSON value, as the service sent it (a number or text as itself); the
  // null value when the file can no longer be read. REQUIRES: n < size().
  JSON resource(std::size_t n) const;

 private:
  // Where a resource stands: in the file, or, for a resource that is no array or dictionary, in
  // scalars_ as its compact text.
  struct Span {
    std::uint64_t begin = 0;
    std::uint32_t length = 0;
    bool scalar = false;
  };
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  std::string scalars_;
  std::vector<Span> spans_;
};

}  // namespace vorelia
