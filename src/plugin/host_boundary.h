// The boundary to the host: turning the plugin's failures into the host's error object, and making
// sure no exception ever leaves a host operation.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "model/plugin_error.h"
#include "model/plugin_state.h"
#include "sdk/co_value.h"

namespace vorelia {

// Failures of a publishing task that no PluginError covers.
// filesNotPublished goes into the slot beside a result, with the result's message as its
// description: the task ran, but lost files.
enum class TaskError { noAccount = 0, noFiles = 1, noWorkflow = 2, filesNotPublished = 3 };
inline constexpr std::string_view TaskErrorDomain = "VoreliaC1Plugin.TaskError";

// Any failure a host operation can report, ready for the error slot.
struct HostFailure {
  COError error;
};

HostFailure Failure(PluginError error);
HostFailure Failure(TaskError error);
// A task error described by a message of its own (filesNotPublished names the files).
HostFailure Failure(TaskError error, std::string description);

// Stores failure into the error slot when the host passed one.
void Report(const HostFailure& failure, COError* slot);

// Runs body; a HostFailure or a PluginError it throws goes into the slot, any other exception
// (which would be a fault of ours) becomes an internal error there, and fallback is returned, so
// nothing crosses into the host.
template <typename Result, typename Body>
Result Guard(COError* slot, Result fallback, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const HostFailure& failure) {
    Report(failure, slot);
  } catch (PluginError error) {  // a workflow's refusal
    Report(Failure(error), slot);
  } catch (...) {
    Report(HostFailure{COError{"VoreliaC1Plugin.InternalError", 0, "Internal error",
                               "The plugin failed unexpectedly"}},
           slot);
  }
  return fallback;
}

// Throws the failure of a login renewal that state records (and clears the record): loginExpired
// when the user must log in again, serverError when the service could not renew it.
void ThrowIfLoginRenewalFailed(PluginState& state);

// Runs body, one host operation's work, and reports in place of its own outcome (a result, a
// failure) a refused login that one of its requests could not renew, so the user hears the one
// thing to do. Call inside Guard.
template <typename Body>
auto WithLoginRenewal(PluginState& state, Body&& body) -> decltype(body()) {
  state.loginRenewal = PluginState::LoginRenewal::none;
  try {
    auto result = std::forward<Body>(body)();
    ThrowIfLoginRenewalFailed(state);
    return result;
  } catch (...) {
    ThrowIfLoginRenewalFailed(state);
    throw;
  }
}

}  // namespace vorelia
