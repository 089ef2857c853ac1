#include "sandbox/request_log.h"

#include <algorithm>
#include <chrono>

namespace vorelia::sandbox {
namespace {

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// httplib adds these to the request's headers itself; the client never sent them.
bool isAddedByServer(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

}  // namespace

RequestLog::RequestLog(std::size_t capacity, std::size_t bodyCap)
    : capacity_(std::max<std::size_t>(capacity, 1)), bodyCap_(bodyCap) {}

std::uint64_t RequestLog::add(const httplib::Request& request, const Target& target) {
  Record record;
  record.arrived = monotonicSeconds();
  record.method = request.method;
  record.path = target.path;
  record.query = target.query;
  for (const auto& [name, value] : request.headers) {
    if (!isAddedByServer(name)) record.headers.emplace_back(name, value);
  }
  record.bodySize = request.body.size();
  record.body = request.body.substr(0, bodyCap_);
  std::scoped_lock lock(mutex_);
  record.sequence = nextSequence_++;
  if (records_.size() >= capacity_) {
    records_.pop_front();
    ++evicted_;
  }
  records_.push_back(std::move(record));
  return records_.back().sequence;
}

RequestLog::Record* RequestLog::findLocked(std::uint64_t sequence) {
  // Sequence numbers rise along the ring, so a record sits at a known distance from the front.
  if (records_.empty() || sequence < records_.front().sequence) return nullptr;
  const std::size_t index = sequence - records_.front().sequence;
  return index < records_.size() ? &records_[index] : nullptr;
}

void RequestLog::noteFault(std::uint64_t sequence, int faultId) {
  std::scoped_lock lock(mutex_);
  if (Record* record = findLocked(sequence)) record->faultId = faultId;
}

void RequestLog::finish(std::uint64_t sequence, int status) {
  const double now = monotonicSeconds();
  std::scoped_lock lock(mutex_);
  if (Record* record = findLocked(sequence)) {
    record->status = status;
    record->answered = now;
  }
}

nlohmann::json RequestLog::list() const {
  std::scoped_lock lock(mutex_);
  nlohmann::json requests = nlohmann::json::array();
  for (const Record& record : records_) {
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : record.headers) {
      // A header sent more than once reads as one, its values joined as HTTP allows.
      nlohmann::json& slot = headers[name];
      slot = slot.is_string() ? slot.get<std::string>() + ", " + value : value;
    }
    requests.push_back(
        {{"seq", record.sequence},
         {"method", record.method},
         {"path", record.path},
         {"query", record.query},
         {"headers", std::move(headers)},
         {"body", record.body},
         {"bodySize", record.bodySize},
         {"bodyTruncated", record.body.size() < record.bodySize},
         {"status", record.status ? nlohmann::json(*record.status) : nullptr},
         {"fault", record.faultId ? nlohmann::json(*record.faultId) : nullptr},
         {"arrived", record.arrived},
         {"answered", record.answered ? nlohmann::json(*record.answered) : nullptr}});
  }
  return {{"requests", std::move(requests)}, {"evicted", evicted_}};
}

void RequestLog::clear() {
  std::scoped_lock lock(mutex_);
  records_.clear();
  evicted_ = 0;
}

}  // namespace vorelia::sandbox
