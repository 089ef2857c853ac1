#include "defaults_codec.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>

namespace vorelia::platform {
namespace {

using nlohmann::json;
using namespace std::chrono;

// Tags of the typed wrappers in the file.
constexpr const char* kString = "string";
constexpr const char* kBool = "bool";
constexpr const char* kInteger = "integer";
constexpr const char* kDouble = "double";
constexpr const char* kDate = "date";
constexpr const char* kArray = "array";

static_assert(std::is_same_v<Date::duration, nanoseconds>, "dates count nanoseconds in 64 bits");
constexpr std::int64_t kBillion = 1'000'000'000;

struct Encoder {
  json operator()(const std::string& value) const { return {{kString, value}}; }
  json operator()(bool value) const { return {{kBool, value}}; }
  json operator()(std::int64_t value) const { return {{kInteger, value}}; }
  json operator()(double value) const {
    if (std::isnan(value)) return {{kDouble, "nan"}};
    if (std::isinf(value)) return {{kDouble, value > 0 ? "inf" : "-inf"}};
    return {{kDouble, value}};
  }
  json operator()(Date value) const { return {{kDate, formatDate(value)}}; }
  json operator()(const std::vector<std::string>& value) const { return {{kArray, value}}; }
};

std::optional<double> decodeDouble(const json& value) {
  if (value.is_number()) return value.get<double>();
  if (!value.is_string()) return std::nullopt;
  const auto& text = value.get_ref<const std::string&>();
  if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
  if (text == "inf") return std::numeric_limits<double>::infinity();
  if (text == "-inf") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

std::optional<DefaultsValue> decodeValue(const json& wrapper) {
  if (!wrapper.is_object() || wrapper.size() != 1) return std::nullopt;
  const auto only = wrapper.begin();
  const std::string& tag = only.key();
  const json& value = only.value();
  if (tag == kString && value.is_string()) return value.get<std::string>();
  if (tag == kBool && value.is_boolean()) return value.get<bool>();
  if (tag == kInteger && value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return value.get<std::int64_t>();
  }
  if (tag == kDouble) {
    if (auto number = decodeDouble(value)) return *number;
    return std::nullopt;
  }
  if (tag == kDate && value.is_string()) {
    if (auto date = parseDate(value.get_ref<const std::string&>())) return *date;
    return std::nullopt;
  }
  if (tag == kArray && value.is_array()) {
    std::vector<std::string> strings;
    strings.reserve(value.size());
    for (const auto& element : value) {
      if (!element.is_string()) return std::nullopt;
      strings.push_back(element.get<std::string>());
    }
    return strings;
  }
  return std::nullopt;
}

// Reads count decimal digits at text[pos...] into out.
bool readDigits(std::string_view text, size_t pos, size_t count, int& out) {
  if (pos + count > text.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string encodeDefaults(const DefaultsValues& values) {
  json root = json::object();
  for (const auto& [key, value] : values) root[key] = std::visit(Encoder{}, value);
  return root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<DefaultsValues> decodeDefaults(std::string_view text) {
  const json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;  // also a parse error (discarded)
  DefaultsValues values;
  for (const auto& [key, wrapper] : root.items()) {
    auto value = decodeValue(wrapper);
    if (!value) return std::nullopt;
    values.emplace(key, std::move(*value));
  }
  return values;
}

std::string formatDate(Date date) {
  // Whole seconds, rounded down, and the nanoseconds past them: rounding the nanosecond count down
  // to days would overflow in the first day of Date's range.
  const std::int64_t count = date.time_since_epoch().count();
  std::int64_t whole = count / kBillion;
  long long fraction = count % kBillion;
  if (fraction < 0) {
    fraction += kBillion;
    --whole;
  }
  const sys_seconds at{seconds(whole)};
  const sys_days day = floor<days>(at);
  const year_month_day ymd(day);
  const hh_mm_ss<seconds> time(at - day);
  char text[48];
  const int length = std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()));
  if (fraction % 1000 == 0) {
    std::snprintf(text + length, sizeof text - length, ".%06lldZ", fraction / 1000);
  } else {
    std::snprintf(text + length, sizeof text - length, ".%09lldZ", fraction);
  }
  return text;
}

std::optional<Date> parseDate(std::string_view text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text.size() < 20 || !readDigits(text, 0, 4, y) || text[4] != '-' ||
      !readDigits(text, 5, 2, mo) || text[7] != '-' || !readDigits(text, 8, 2, d) ||
      text[10] != 'T' || !readDigits(text, 11, 2, h) || text[13] != ':' ||
      !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s)) {
    return std::nullopt;
  }
  const year_month_day ymd{year(y), month(static_cast<unsigned>(mo)),
                           day(static_cast<unsigned>(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  size_t pos = 19;
  long long fraction = 0;
  if (text[pos] == '.') {
    const size_t first = ++pos;
    while (pos < text.size() && pos - first < 9 && text[pos] >= '0' && text[pos] <= '9') {
      fraction = fraction * 10 + (text[pos++] - '0');
    }
    if (pos == first) return std::nullopt;
    for (size_t digits = pos - first; digits < 9; ++digits) fraction *= 10;
  }
  if (pos + 1 != text.size() || text[pos] != 'Z') return std::nullopt;
  const std::int64_t whole =
      (sys_days(ymd).time_since_epoch() + hours(h) + minutes(mi) + seconds(s)).count();
  // Date's first and last seconds are only partly inside its range, and formatDate writes them:
  // the check is to the nanosecond. Below zero the count starts from the second above, so that
  // scaling the lowest second cannot overflow.
  const bool below = whole < 0;
  std::int64_t scaled = 0;
  std::int64_t total = 0;
  if (__builtin_mul_overflow(below ? whole + 1 : whole, kBillion, &scaled) ||
      __builtin_add_overflow(scaled, below ? fraction - kBillion : fraction, &total)) {
    return std::nullopt;
  }
  return Date(Date::duration(total));
}

}  // namespace vorelia::platform
