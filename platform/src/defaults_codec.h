// The file form of a user-defaults domain: a JSON object whose members each hold one typed wrapper,
// so every type survives a round trip:
//   {"userName": {"string": "a@b"}, "isPro": {"bool": true}, "count": {"integer": 3},
//    "ratio": {"double": 0.5}, "lastRefresh": {"date": "2026-12-06T17:58:35.123456Z"},
//    "albums": {"array": ["a", "b"]}}
// Dates are UTC with microseconds (nanoseconds when the value has them). Doubles that JSON cannot
// hold are written as the strings "nan", "inf" and "-inf". Internal to the platform library.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/user_defaults.h"

namespace vorelia::platform {

using DefaultsValues = std::map<std::string, DefaultsValue>;

// The file text of values. Strings that are not UTF-8 are written with U+FFFD in place of the bad
// bytes.
std::string encodeDefaults(const DefaultsValues& values);
// The values in text; absent when text is not JSON or not of the shape above.
std::optional<DefaultsValues> decodeDefaults(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS.ffffffZ", with nine fraction digits when the date has sub-microseconds.
std::string formatDate(Date date);
// The date in text of the form above (zero to nine fraction digits); absent when malformed or out
// of the range of Date.
std::optional<Date> parseDate(std::string_view text);

}  // namespace vorelia::platform
