#include "plugin/host_boundary.h"

namespace vorelia {
namespace {

std::string TaskErrorMessage(TaskError error) {
  switch (error) {
    case TaskError::noAccount:
      return "Log in and choose an account before publishing";
    case TaskError::noFiles:
      return "There are no exported images to publish";
    case TaskError::noWorkflow:
      return "This action cannot publish images";
    case TaskError::filesNotPublished:
      return "Some images were not published";
  }
  return "This action cannot publish images";
}

}  // namespace

HostFailure Failure(PluginError error) {
  const std::string message = errorDescription(error);
  return HostFailure{
      COError{std::string(PluginErrorDomain), static_cast<std::int64_t>(error), message, message}};
}

HostFailure Failure(TaskError error) {
  const std::string message = TaskErrorMessage(error);
  return HostFailure{
      COError{std::string(TaskErrorDomain), static_cast<std::int64_t>(error), message, message}};
}

HostFailure Failure(TaskError error, std::string description) {
  return HostFailure{COError{std::string(TaskErrorDomain), static_cast<std::int64_t>(error),
                             std::move(description), TaskErrorMessage(error)}};
}

void ThrowIfLoginRenewalFailed(PluginState& state) {
  switch (state.loginRenewal.exchange(PluginState::LoginRenewal::none)) {
    case PluginState::LoginRenewal::expired:
      throw Failure(PluginError::loginExpired);
    case PluginState::LoginRenewal::serverError:
      throw Failure(PluginError::serverError);
    case PluginState::LoginRenewal::none:
      return;
  }
}

void Report(const HostFailure& failure, COError* slot) {
  if (slot != nullptr) *slot = failure.error;
}

}  // namespace vorelia
