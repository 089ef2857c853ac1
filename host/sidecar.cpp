#include "sidecar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <fstream>
#include <iterator>
#include <string_view>

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

constexpr const char* SubjectKey = "Xmp.dc.subject";
constexpr const char* DescriptionKey = "Xmp.dc.description";
constexpr const char* RatingKey = "Xmp.xmp.Rating";
constexpr const char* LabelKey = "Xmp.xmp.Label";

// A sidecar holds text metadata; anything larger is not one.
constexpr std::uintmax_t LargestSidecar = 16 * 1024 * 1024;

// The colour tags by number, as the label text the photo tools of Linux read.
constexpr std::array<std::string_view, 8> Labels = {"",      "Red",  "Orange", "Yellow",
                                                    "Green", "Blue", "Pink",   "Purple"};

bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string systemError(const std::string& what, const fs::path& path) {
  return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

Sidecar::Sidecar(fs::path path, std::unique_ptr<Exiv2::XmpData> data)
    : path_(std::move(path)), data_(std::move(data)) {}
Sidecar::~Sidecar() = default;
Sidecar::Sidecar(Sidecar&&) noexcept = default;
Sidecar& Sidecar::operator=(Sidecar&&) noexcept = default;

Result<Sidecar> Sidecar::read(const fs::path& path) {
  auto data = std::make_unique<Exiv2::XmpData>();
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (status.type() == fs::file_type::not_found) return Sidecar(path, std::move(data));
  if (ec || status.type() != fs::file_type::regular) {
    return Failure{"the sidecar " + path.string() + " is not a regular file"};
  }
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > LargestSidecar) {
    return Failure{"the sidecar " + path.string() + " is too large to be one"};
  }
  std::ifstream in(path, std::ios::binary);
  std::string packet;
  if (in.is_open()) packet.assign(std::istreambuf_iterator<char>(in), {});
  if (!in.is_open() || in.bad()) {
    return Failure{"cannot read the sidecar " + path.string()};
  }
  try {
    if (!packet.empty() && Exiv2::XmpParser::decode(*data, packet) != 0) {
      return Failure{"the sidecar " + path.string() + " holds no valid XMP"};
    }
  } catch (const Exiv2::AnyError& e) {
    return Failure{"the sidecar " + path.string() + " holds no valid XMP: " + e.what()};
  }
  return Sidecar(path, std::move(data));
}

std::vector<std::string> Sidecar::keywords() const {
  std::vector<std::string> words;
  const auto it = data_->findKey(Exiv2::XmpKey(SubjectKey));
  if (it == data_->end()) return words;
  for (long i = 0; i < it->count(); ++i) words.push_back(it->toString(i));
  return words;
}

void Sidecar::addKeyword(const std::string& keyword) {
  std::vector<std::string> words = keywords();
  for (const std::string& word : words) {
    if (word == keyword) return;
  }
  // Built item by item: read() takes each text whole, so nothing in it is parsed.
  Exiv2::XmpArrayValue bag(Exiv2::xmpBag);
  for (const std::string& word : words) bag.read(word);
  bag.read(keyword);
  const auto it = data_->findKey(Exiv2::XmpKey(SubjectKey));
  if (it != data_->end()) data_->erase(it);
  data_->add(Exiv2::XmpKey(SubjectKey), &bag);
  changed_ = true;
}

std::string Sidecar::description() const {
  const auto it = data_->findKey(Exiv2::XmpKey(DescriptionKey));
  if (it == data_->end()) return "";
  const auto* alternatives = dynamic_cast<const Exiv2::LangAltValue*>(&it->value());
  if (alternatives == nullptr) return it->toString();
  const auto text = alternatives->value_.find("x-default");
  return text == alternatives->value_.end() ? "" : text->second;
}

void Sidecar::setDescription(const std::string& text) {
  if (description() == text) return;
  // Set directly rather than through read(), which would take a leading lang="..." of the text as
  // the language: the description lands as it came. Other languages stay.
  Exiv2::LangAltValue alternatives;
  const auto it = data_->findKey(Exiv2::XmpKey(DescriptionKey));
  if (it != data_->end()) {
    if (const auto* old = dynamic_cast<const Exiv2::LangAltValue*>(&it->value())) {
      alternatives.value_ = old->value_;
    }
    data_->erase(it);
  }
  alternatives.value_["x-default"] = text;
  data_->add(Exiv2::XmpKey(DescriptionKey), &alternatives);
  changed_ = true;
}

std::string Sidecar::text(const char* key) const {
  const auto it = data_->findKey(Exiv2::XmpKey(key));
  return it == data_->end() ? "" : it->toString();
}

void Sidecar::setText(const char* key, const std::string& value) {
  const auto it = data_->findKey(Exiv2::XmpKey(key));
  if (it != data_->end()) {
    if (it->toString() == value) return;
    data_->erase(it);
  }
  Exiv2::XmpTextValue text;
  text.value_ = value;
  data_->add(Exiv2::XmpKey(key), &text);
  changed_ = true;
}

int Sidecar::rating() const {
  const std::string text = this->text(RatingKey);
  int stars = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || stars > 100) return 0;  // "-1" (rejected) and junk read as none
    stars = stars * 10 + (c - '0');
  }
  return stars;
}

void Sidecar::setRating(int stars) { setText(RatingKey, std::to_string(stars)); }

int Sidecar::colorTag() const {
  const std::string label = text(LabelKey);
  for (std::size_t i = 1; i < Labels.size(); ++i) {
    if (equalIgnoringAsciiCase(label, Labels[i])) return static_cast<int>(i);
  }
  return 0;
}

void Sidecar::setColorTag(int tag) {
  if (tag == colorTag()) return;
  const auto it = data_->findKey(Exiv2::XmpKey(LabelKey));
  if (it != data_->end()) data_->erase(it);
  if (tag > 0 && tag < static_cast<int>(Labels.size())) {
    Exiv2::XmpTextValue text;
    text.value_ = std::string(Labels[tag]);
    data_->add(Exiv2::XmpKey(LabelKey), &text);
  }
  changed_ = true;
}

Result<std::string> Sidecar::encode() const {
  std::string packet;
  try {
    // As Exiv2 writes sidecars itself: an XML declaration, no packet wrapper, no padding.
    if (Exiv2::XmpParser::encode(
            packet, *data_,
            Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0) {
      return Failure{"cannot write the metadata of " + path_.string() + " as XMP"};
    }
  } catch (const Exiv2::AnyError& e) {
    return Failure{"cannot write the metadata of " + path_.string() + " as XMP: " + e.what()};
  }
  // With nothing left to say the toolkit writes nothing; the sidecar stays a valid empty one.
  if (packet.empty()) {
    packet =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>\n"
        "</x:xmpmeta>\n";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet;
}

Result<void> replaceFileAtomically(const fs::path& path, const std::string& contents) {
  std::string name = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return Failure{systemError("cannot create a file beside", path)};
  // The permissions the file would get if made anew, or those of the file it replaces.
  struct stat old {};
  mode_t mode = 0;
  if (::stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < contents.size();) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  std::string error;
  if (!ok) error = systemError("cannot write", path);
  if (::close(fd) != 0 && ok) {
    error = systemError("cannot write", path);
    ok = false;
  }
  if (ok && ::rename(name.c_str(), path.c_str()) != 0) {
    error = systemError("cannot replace", path);
    ok = false;
  }
  if (ok) return {};
  ::unlink(name.c_str());
  return Failure{std::move(error)};
}

}  // namespace vorelia::host
