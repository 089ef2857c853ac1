// Faults that tests put on the service's routes. A rule matches a request by method, path and,
// optionally, query; when it applies, the request is first held (stall: until the rule is
// removed; delay: for delayMs, or until the rule is removed), then answered by the rule: the
// connection is dropped without an answer, or a non-JSON body is sent, or the rule's status and
// body are sent; a rule with none of those lets the request through to its route after the hold.
// A trickle rule sends its answer (its own, or the route's) slowly: the status and headers at
// once, then the body one byte a second (all that is left at once when the rule is removed).
// A rule may apply a limited number of times in all (count), and to each path a limited number
// of times (countPerPath: the first N requests of every path it matches, so that each request's
// retry passes). A request held while the server stops loses its connection. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sandbox/result.h"

namespace vorelia::sandbox {

inline constexpr std::size_t kMaxFaultRules = 1000;
// Paths a countPerPath rule keeps count of; once it knows this many, it no longer applies to
// paths it has not seen.
inline constexpr std::size_t kMaxCountedPaths = 100000;

struct FaultRule {
  int id = 0;
  std::string method;                // empty: any method
  std::string path;                  // '*' matches any run of characters; ASCII case is ignored
  std::optional<std::string> query;  // the raw query, matched exactly, when given
  std::optional<int> status;
  std::optional<std::string> body;
  std::optional<std::string> contentType;  // of body; JSON when not given
  std::chrono::milliseconds delay{0};
  bool drop = false;
  bool garbage = false;
  bool stall = false;
  bool trickle = false;
  std::optional<std::int64_t> remaining;     // applications left; empty: unlimited
  std::optional<std::int64_t> countPerPath;  // applications to each path; empty: unlimited
  std::int64_t hits = 0;                     // applications so far

  // Parses the admin interface's JSON: {"method", "path", "query", "status", "body" (text, or
  // any other JSON value, sent serialised), "contentType", "delayMs", "drop", "garbage", "stall",
  // "trickle", "count", "countPerPath"}.
  static Result<FaultRule> fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

// Whether the glob pattern matches text as a whole ('*': any run of characters, ASCII case
// ignored).
bool globMatches(std::string_view pattern, std::string_view text);

class FaultTable {
 public:
  enum class Hold { kReleased, kStopping };

  // Adds a rule under a new id (rule.id is ignored); fails when the table is full.
  Result<int> add(FaultRule rule);
  bool remove(int id);
  void clear();
  nlohmann::json list() const;  // {"faults": [rules, oldest first]}

  // The oldest rule that matches and has applications left, with this application counted.
  // A rule whose applications are used up stays in the table, inert, until it is removed.
  std::optional<FaultRule> take(std::string_view method, std::string_view path,
                                std::string_view query);

  // Whether rule id is in the table.
  bool present(int id) const;
  // Blocks while rule id is in the table.
  Hold holdWhilePresent(int id);
  // Blocks for delay, or less when rule id leaves the table.
  Hold holdFor(int id, std::chrono::milliseconds delay);

  // Ends every hold for good: holds under way and later ones return kStopping.
  void shutdown();

 private:
  struct Entry {
    FaultRule rule;
    std::unordered_map<std::string, std::int64_t> pathHits;  // of a countPerPath rule
  };

  bool presentLocked(int id) const;
  // Whether the rule applies to one more request of path, which it then counts.
  static bool takeLocked(Entry& entry, std::string_view path);

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // signalled when rules leave or the table shuts down
  std::vector<Entry> rules_;         // guarded by mutex_
  int nextId_ = 1;                   // guarded by mutex_
  bool stopping_ = false;            // guarded by mutex_
};

}  // namespace vorelia::sandbox
