#include "api/reservation.h"

#include <limits>
#include <string_view>

#include "model/json_list.h"
#include "model/keys.h"

namespace vorelia {

Reservation Reservation::Read(std::string answer) {
  Reservation reservation;
  reservation.text_ = std::move(answer);
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
  if (!ReadJSONList(reservation.text_, P::Value, events) || !fits) return Reservation();
  reservation.spans_.shrink_to_fit();
  return reservation;
}

JSON Reservation::resource(std::size_t n) const {
  const Span& span = spans_[n];
  const std::string& from = span.scalar ? scalars_ : text_;
  return JSON::ParseFragment(std::string_view(from).substr(span.begin, span.length));
}

}  // namespace vorelia
