// BodyFile: a request body written to a temporary file as it is built and sent from there, for the
// long lists of a large task that would otherwise sit in memory beside everything else the run
// holds. Private to this user (0600), locked as in use while it lives and removed with it; what a
// killed run left is swept by Api::RemovalOfLeftoversOfKilledRuns. Any thread, one at a time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "model/json_list.h"
#include "platform/leftovers.h"

namespace vorelia {

class BodyFile {
 public:
  // The start of every body file's name in the system's temporary folder.
  static constexpr std::string_view Prefix = "vorelia-body-";

  // A new, empty file; nullptr when none can be made.
  static std::unique_ptr<BodyFile> Create();
  // A new file holding the document {"key":[...]} of the count elements that add puts into list,
  // element n at its call n, written to the file a thousand elements at a time. nullptr when
  // the file cannot be written whole or an element cannot be serialised (text that is not UTF-8).
  static std::shared_ptr<const BodyFile> List(
      std::string_view key, std::size_t count,
      const std::function<void(JSONListWriter& list, std::size_t n)>& add);
  ~BodyFile();
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;

  // Appends bytes. Returns false, then and after, once a write failed.
  bool append(std::string_view bytes);
  // Closes the file for writing. Returns whether every byte reached it.
  bool finish();
  const std::filesystem::path& path() const { return path_; }

 private:
  BodyFile(std::filesystem::path path, int fd);

  std::filesystem::path path_;
  int fd_ = -1;
  bool written_ = true;
  platform::InUseLock lock_;
};

}  // namespace vorelia
