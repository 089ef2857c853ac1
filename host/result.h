// How cohost's own functions fail: they return the value, or the message that says why there is
// none, ready to show to the user. Errors of the plugin keep the SDK's COError; this is for the
// host's side of the boundary only.
//
//   Result<std::string> folder = documentFolder(dir);
//   if (!folder) return call.hostError(folder.error());
//
//   return Failure{"no document is open"};
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorelia::host {

// The message of a failed Result; converts to a Result of any type.
struct Failure {
  std::string message;
};

// A value of type T, or a Failure. Result<void> holds no value: it only succeeds or fails.
template <typename T>
class [[nodiscard]] Result {
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

 public:
  Result() requires std::is_void_v<T>
  = default;
  template <typename U = Value>
  requires(!std::is_void_v<T> && std::is_constructible_v<Value, U&&> &&
           !std::is_same_v<std::remove_cvref_t<U>, Failure> &&
           !std::is_same_v<std::remove_cvref_t<U>, Result>) Result(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  Value& operator*() & requires(!std::is_void_v<T>) { return std::get<0>(state_); }
  const Value& operator*() const& requires(!std::is_void_v<T>) { return std::get<0>(state_); }
  Value&& operator*() && requires(!std::is_void_v<T>) { return std::get<0>(std::move(state_)); }
  Value* operator->() requires(!std::is_void_v<T>) { return &std::get<0>(state_); }
  const Value* operator->() const requires(!std::is_void_v<T>) { return &std::get<0>(state_); }

  // REQUIRES: !ok().
  const std::string& error() const { return std::get<1>(state_).message; }

 private:
  std::variant<Value, Failure> state_;
};

}  // namespace vorelia::host
