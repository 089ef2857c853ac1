#include "sandbox/faults.h"

#include <algorithm>

#include "sandbox/http_util.h"

namespace vorelia::sandbox {
namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<bool> flag(const nlohmann::json& json, const char* name, std::string& error) {
  if (!json.contains(name)) return false;
  if (!json[name].is_boolean()) {
    error = std::string("\"") + name + "\" must be a Boolean";
    return std::nullopt;
  }
  return json[name].get<bool>();
}

}  // namespace

bool globMatches(std::string_view pattern, std::string_view text) {
  // Greedy matching with one backtrack point: the last '*' seen.
  std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && lowerAscii(pattern[p]) == lowerAscii(text[t])) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Result<FaultRule> FaultRule::fromJson(const nlohmann::json& json) {
  if (!json.is_object()) return Failure{400, "a fault is a JSON object"};
  FaultRule rule;
  if (!json.contains("path") || !json["path"].is_string() ||
      json["path"].get<std::string>().empty()) {
    return Failure{400, "a fault needs a \"path\""};
  }
  rule.path = json["path"].get<std::string>();
  if (rule.path.front() != '/' && rule.path.front() != '*') rule.path = "/" + rule.path;
  if (json.contains("method")) {
    if (!json["method"].is_string()) return Failure{400, "\"method\" must be text"};
    rule.method = json["method"].get<std::string>();
    std::transform(rule.method.begin(), rule.method.end(), rule.method.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
  }
  if (json.contains("query")) {
    if (!json["query"].is_string()) return Failure{400, "\"query\" must be text"};
    rule.query = json["query"].get<std::string>();
  }
  if (json.contains("status")) {
    if (!json["status"].is_number_integer() || json["status"].get<std::int64_t>() < 100 ||
        json["status"].get<std::int64_t>() > 599) {
      return Failure{400, "\"status\" must be an HTTP status from 100 to 599"};
    }
    rule.status = json["status"].get<int>();
  }
  if (json.contains("body")) {
    rule.body = json["body"].is_string() ? json["body"].get<std::string>() : dumpJson(json["body"]);
  }
  if (json.contains("contentType")) {
    if (!json["contentType"].is_string()) return Failure{400, "\"contentType\" must be text"};
    rule.contentType = json["contentType"].get<std::string>();
  }
  if (json.contains("delayMs")) {
    if (!json["delayMs"].is_number_integer() || json["delayMs"].get<std::int64_t>() < 0) {
      return Failure{400, "\"delayMs\" must be a whole number of milliseconds"};
    }
    rule.delay = std::chrono::milliseconds(json["delayMs"].get<std::int64_t>());
  }
  if (json.contains("count")) {
    if (!json["count"].is_number_integer() || json["count"].get<std::int64_t>() < 1) {
      return Failure{400, "\"count\" must be a whole number from 1"};
    }
    rule.remaining = json["count"].get<std::int64_t>();
  }
  if (json.contains("countPerPath")) {
    if (!json["countPerPath"].is_number_integer() || json["countPerPath"].get<std::int64_t>() < 1) {
      return Failure{400, "\"countPerPath\" must be a whole number from 1"};
    }
    rule.countPerPath = json["countPerPath"].get<std::int64_t>();
  }
  std::string error;
  const auto drop = flag(json, "drop", error);
  const auto garbage = flag(json, "garbage", error);
  const auto stall = flag(json, "stall", error);
  const auto trickle = flag(json, "trickle", error);
  if (!drop || !garbage || !stall || !trickle) return Failure{400, error};
  rule.drop = *drop;
  rule.garbage = *garbage;
  rule.stall = *stall;
  rule.trickle = *trickle;
  if (rule.drop && (rule.garbage || rule.trickle)) {
    return Failure{400, "a fault cannot both drop and answer"};
  }
  return rule;
}

nlohmann::json FaultRule::toJson() const {
  nlohmann::json json = {
      {"id", id},     {"method", method},   {"path", path},   {"delayMs", delay.count()},
      {"drop", drop}, {"garbage", garbage}, {"stall", stall}, {"trickle", trickle},
      {"hits", hits}};
  json["query"] = query ? nlohmann::json(*query) : nullptr;
  json["status"] = status ? nlohmann::json(*status) : nullptr;
  json["body"] = body ? nlohmann::json(*body) : nullptr;
  json["contentType"] = contentType ? nlohmann::json(*contentType) : nullptr;
  json["remaining"] = remaining ? nlohmann::json(*remaining) : nullptr;
  json["countPerPath"] = countPerPath ? nlohmann::json(*countPerPath) : nullptr;
  return json;
}

Result<int> FaultTable::add(FaultRule rule) {
  std::scoped_lock lock(mutex_);
  if (rules_.size() >= kMaxFaultRules) return Failure{400, "too many faults; delete some first"};
  rule.id = nextId_++;
  rule.hits = 0;
  rules_.push_back({std::move(rule), {}});
  return rules_.back().rule.id;
}

bool FaultTable::remove(int id) {
  std::scoped_lock lock(mutex_);
  const bool removed = std::erase_if(rules_, [id](const Entry& e) { return e.rule.id == id; }) > 0;
  changed_.notify_all();
  return removed;
}

void FaultTable::clear() {
  std::scoped_lock lock(mutex_);
  rules_.clear();
  changed_.notify_all();
}

nlohmann::json FaultTable::list() const {
  std::scoped_lock lock(mutex_);
  nlohmann::json faults = nlohmann::json::array();
  for (const Entry& entry : rules_) faults.push_back(entry.rule.toJson());
  return {{"faults", std::move(faults)}};
}

std::optional<FaultRule> FaultTable::take(std::string_view method, std::string_view path,
                                          std::string_view query) {
  std::scoped_lock lock(mutex_);
  for (Entry& entry : rules_) {
    const FaultRule& rule = entry.rule;
    if (rule.remaining && *rule.remaining == 0) continue;
    if (!rule.method.empty() && rule.method != method) continue;
    if (rule.query && *rule.query != query) continue;
    if (!globMatches(rule.path, path)) continue;
    if (!takeLocked(entry, path)) continue;
    return entry.rule;
  }
  return std::nullopt;
}

bool FaultTable::takeLocked(Entry& entry, std::string_view path) {
  FaultRule& rule = entry.rule;
  if (rule.countPerPath) {
    auto hits = entry.pathHits.find(std::string(path));
    if (hits == entry.pathHits.end()) {
      if (entry.pathHits.size() >= kMaxCountedPaths) return false;
      hits = entry.pathHits.emplace(path, 0).first;
    }
    if (hits->second >= *rule.countPerPath) return false;
    ++hits->second;
  }
  if (rule.remaining) --*rule.remaining;
  ++rule.hits;
  return true;
}

bool FaultTable::presentLocked(int id) const {
  return std::any_of(rules_.begin(), rules_.end(),
                     [id](const Entry& e) { return e.rule.id == id; });
}

bool FaultTable::present(int id) const {
  std::scoped_lock lock(mutex_);
  return presentLocked(id);
}

FaultTable::Hold FaultTable::holdWhilePresent(int id) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stopping_ || !presentLocked(id); });
  return stopping_ ? Hold::kStopping : Hold::kReleased;
}

FaultTable::Hold FaultTable::holdFor(int id, std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, delay, [&] { return stopping_ || !presentLocked(id); });
  return stopping_ ? Hold::kStopping : Hold::kReleased;
}

void FaultTable::shutdown() {
  std::scoped_lock lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
}

}  // namespace vorelia::sandbox
