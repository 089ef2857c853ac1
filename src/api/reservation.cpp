#include "api/reservation.h"

#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>

#include "model/json_list.h"
#include "model/keys.h"

namespace vorelia {

Reservation Reservation::Read(const std::filesystem::path& file) {
  Reservation reservation;
  reservation.file_.reset(std::fopen(file.c_str(), "rbe"));  // e: not inherited by children
  if (!reservation.file_) return reservation;
  JSONListEvents events;
  events.member = [&](std::string_view key, JSON value) {
    if (key == P::HasError) {
      reservation.hasError = value.boolValue();
    } else if (key == P::Message) {
      reservation.message = value.stringValue();
    } else if (key == P::StorageUrl) {
      reservation.storageUrl = value.stringValue();
    } else if (key == P::Value) {  // a later "value" that is no list: no resources
      reservation.spans_.clear();
      reservation.scalars_.clear();
    }
  };
  events.listStarted = [&] {
    reservation.spans_.clear();
    reservation.scalars_.clear();
  };
  bool fits = true;
  events.element = [&](std::size_t, JSON element, std::size_t begin, std::size_t end) {
    Span span;
    if (begin == end) {
      const std::string text = element.object().dump();  // parsed text is UTF-8: no throw
      span = Span{reservation.scalars_.size(), static_cast<std::uint32_t>(text.size()), true};
      reservation.scalars_ += text;
    } else if (end - begin <= std::numeric_limits<std::uint32_t>::max()) {
      span = Span{begin, static_cast<std::uint32_t>(end - begin), false};
    } else {
      fits = false;
    }
    reservation.spans_.push_back(span);
  };
  if (!ReadJSONList(::fileno(reservation.file_.get()), P::Value, events) || !fits) {
    return Reservation();
  }
  reservation.spans_.shrink_to_fit();
  return reservation;
}

JSON Reservation::resource(std::size_t n) const {
  const Span& span = spans_[n];
  if (span.scalar) {
    return JSON::ParseFragment(std::string_view(scalars_).substr(span.begin, span.length));
  }
  std::string text(span.length, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t read = ::pread(::fileno(file_.get()), text.data() + got, text.size() - got,
                                 static_cast<off_t>(span.begin + got));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) return JSON();
    got += static_cast<std::size_t>(read);
  }
  return JSON::ParseFragment(text);
}

}  // namespace vorelia
