#include "model/plugin_error.h"

namespace vorelia {

// The texts are shown exactly as written, double spaces included: translations are keyed by them.
std::string errorDescription(PluginError error) {
  switch (error) {
    case PluginError::invalidAccount:
      return "Invalid  Account name";
    case PluginError::invalidAccountOrTaken:
      return "Account already taken, or invalid characteres";
    case PluginError::invalidEmail:
      return "Invalid  e-mail";
    case PluginError::invalidPassword:
      return "Password cannot be empty";
    case PluginError::invalidUserNameOrPassword:
      return "Wrong e-mail or password";
    case PluginError::invalidNoRelatedAccounts:
      return "Can't find account";
    case PluginError::notEnoughCredits:
      return "Not Enough Credits";
    case PluginError::serverError:
      return "Server Error";
    case PluginError::checkFilesFailed:
      return "Make sure you export in jpeg long edge max 4096px quality 75";
    case PluginError::noAIOptionsSelected:
      return "You need at least one tagging option";
    case PluginError::loginNotSaved:
      return "The login could not be saved on this computer";
    case PluginError::logoutNotSaved:
      return "The login could not be removed from this computer";
    case PluginError::loginExpired:
      return "Your login has expired. Log in again in Capture One > Preferences > Plugins > "
             "Vorelia";
  }
  return "Server Error";
}

}  // namespace vorelia
