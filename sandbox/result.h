// Failures as values: what a refused call answers, and a value-or-failure holder.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vorelia::sandbox {

// Why a call was refused: the HTTP status to answer and a message for the body.
struct Failure {
  int status = 500;
  std::string message;
};

using Outcome = std::optional<Failure>;  // empty on success

template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}              // NOLINT: implicit on purpose
  Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT: implicit on purpose
  bool ok() const { return value_.has_value(); }
  const T& value() const { return *value_; }           // REQUIRES: ok()
  const Failure& failure() const { return failure_; }  // REQUIRES: !ok()

 private:
  std::optional<T> value_;
  Failure failure_;
};

}  // namespace vorelia::sandbox
