// The metadata of one image's variant, kept in an XMP sidecar beside the image and read and written
// with Exiv2: keywords in dc:subject, the content description in dc:description (x-default), the
// star rating in xmp:Rating and the colour tag in xmp:Label. Whatever else the sidecar holds is
// kept. Not for use from several threads at once (the XMP toolkit is set up for one).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "result.h"

namespace Exiv2 {
class XmpData;
}

namespace vorelia::host {

class Sidecar {
 public:
  ~Sidecar();
  Sidecar(Sidecar&&) noexcept;
  Sidecar& operator=(Sidecar&&) noexcept;

  // The sidecar at path, or an empty one when there is no file there. Fails when path is something
  // other than a regular file (a link, a folder), is larger than a sidecar can be, cannot be read
  // or holds no valid XMP: such a file is never replaced.
  static Result<Sidecar> read(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }

  std::vector<std::string> keywords() const;
  // Adds keyword unless the variant has it already.
  void addKeyword(const std::string& keyword);

  std::string description() const;  // empty when none
  void setDescription(const std::string& text);

  int rating() const;  // 0 when none
  void setRating(int stars);

  int colorTag() const;  // 0 (none), 1 Red, 2 Orange, 3 Yellow, 4 Green, 5 Blue, 6 Pink, 7 Purple
  void setColorTag(int tag);

  // Whether a setter changed anything since the sidecar was read.
  bool changed() const { return changed_; }

  // The XMP packet of the metadata now. Fails when it cannot be written as XMP.
  Result<std::string> encode() const;

 private:
  Sidecar(std::filesystem::path path, std::unique_ptr<Exiv2::XmpData> data);

  std::string text(const char* key) const;
  void setText(const char* key, const std::string& value);

  std::filesystem::path path_;
  std::unique_ptr<Exiv2::XmpData> data_;
  bool changed_ = false;
};

// Replaces the file at path by contents: written to a new file in the same folder, flushed to disk
// and renamed over path, so a reader sees the old file or the new one, never a part. A new file
// gets the permissions of the umask, a replaced one keeps its own. On failure leaves path as it
// was.
Result<void> replaceFileAtomically(const std::filesystem::path& path, const std::string& contents);

}  // namespace vorelia::host
