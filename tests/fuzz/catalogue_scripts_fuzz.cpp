// The plugin's keyword and ratings scripts as cohost-osascript reads them. Whatever key, tags,
// description or image names the service sends, the script built around them is read back with
// exactly those texts; and any text at all that the reader accepts is the plugin's own script for
// the data it carries, so nothing else can be run through it.
#include <string>
#include <variant>
#include <vector>

#include "fuzz_support.h"
#include "host_script.h"
#include "publish/catalogue_scripts.h"
#include "script_lexer.h"

namespace {

using namespace vorelia;
using host::KeywordScript;
using host::RatingsScript;
using host::ScriptTokenKind;

constexpr std::size_t MostItems = 8;

bool SameRecords(const std::vector<host::KeywordRecord>& a,
                 const std::vector<host::KeywordRecord>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.key == y.key && x.tags == y.tags && x.description == y.description;
  });
}

std::string KeywordScriptOf(const std::vector<host::KeywordRecord>& records) {
  std::string text;
  for (const auto& r : records) text += keywordRecord(r.key, r.tags, r.description);
  return keywordScript(text);
}

void KeywordRoundTrip(fuzz::FuzzFields& in) {
  std::vector<host::KeywordRecord> records;
  while (!in.empty() && records.size() < MostItems) {
    records.push_back({in.next(), in.next(), in.next()});
  }
  const auto read = host::readHostScript(KeywordScriptOf(records));
  const auto* script = read ? std::get_if<KeywordScript>(&*read) : nullptr;
  FUZZ_CHECK(script != nullptr && SameRecords(script->records, records));
}

void RatingsRoundTrip(fuzz::FuzzFields& in) {
  const std::string option = in.next();
  std::vector<std::string> entries;
  while (!in.empty() && entries.size() < MostItems) entries.push_back(in.next());
  const auto read = host::readHostScript(ratingsScript(entries, option));
  const auto* script = read ? std::get_if<RatingsScript>(&*read) : nullptr;
  FUZZ_CHECK(script != nullptr && script->names == entries);
  const RatingMark mark = ratingMark(option);
  FUZZ_CHECK((script->mark == host::Mark::rating) == (mark.property == "rating"));
  FUZZ_CHECK(script->resetValue == mark.value && script->markValue == mark.value);
}

// Whether two texts are the same statements, token for token; whole numbers may differ (the
// reader takes any rating or colour tag the catalogue holds).
bool SameStatements(std::string_view a, std::string_view b) {
  const auto x = host::lexScript(a), y = host::lexScript(b);
  if (!x || !y || x->size() != y->size()) return false;
  for (std::size_t i = 0; i < x->size(); ++i) {
    const auto& s = (*x)[i].tokens;
    const auto& t = (*y)[i].tokens;
    if (!std::equal(s.begin(), s.end(), t.begin(), t.end(), [](const auto& p, const auto& q) {
          return p.kind == q.kind && (p.text == q.text || p.kind == ScriptTokenKind::integer);
        })) {
      return false;
    }
  }
  return true;
}

void AnyText(std::string_view text) {
  const auto read = host::readHostScript(text);
  if (!read) return;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::string own;
  if (const auto* keywords = std::get_if<KeywordScript>(&*read)) {
    own = KeywordScriptOf(keywords->records);
  } else {
    const auto& ratings = std::get<RatingsScript>(*read);
    own = ratingsScript(ratings.names, ratings.mark == host::Mark::rating ? "1" : "Red");
  }
  FUZZ_CHECK(SameStatements(text, own));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzFields in(data, size);
  switch (in.byte() % 3) {
    case 0:
      KeywordRoundTrip(in);
      break;
    case 1:
      RatingsRoundTrip(in);
      break;
    default:
      AnyText(in.rest());
  }
  return 0;
}
