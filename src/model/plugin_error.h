// PluginError: the failures the plugin reports to the host, each with one fixed message for the
// user. The code of a case is its number and never changes.
#pragma once

#include <string>
#include <string_view>

namespace vorelia {

enum class PluginError {
  invalidAccount = 0,
  invalidAccountOrTaken = 1,
  invalidEmail = 2,
  invalidPassword = 3,
  invalidUserNameOrPassword = 4,
  invalidNoRelatedAccounts = 5,
  notEnoughCredits = 6,
  serverError = 7,
  checkFilesFailed = 8,
  noAIOptionsSelected = 9,
  loginNotSaved = 10,   // the password or the token could not be stored on this computer
  logoutNotSaved = 11,  // the stored login could not be removed from this computer
  loginExpired = 12,    // a refused request whose login could not be renewed
};

// The error domain under which the host sees these errors.
inline constexpr std::string_view PluginErrorDomain = "VoreliaC1Plugin.PluginError";

// The message shown to the user (also the failure reason). Never empty.
std::string errorDescription(PluginError error);
inline std::string failureReason(PluginError error) { return errorDescription(error); }

}  // namespace vorelia
