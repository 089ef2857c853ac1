#include "plugin/connection_page.h"

namespace vorelia {

void AppendLoginForm(COSettingsElementsGroup& group, const PluginState& state) {
  auto& e = group.elements;
  e.push_back(COSettingsLabelItem{"Need an account?"});
  e.push_back(COSettingsButtonItem{"createAccount-action", "Create Account"});
  e.push_back(COSettingsLabelItem{"Have an account? just connect:"});
  e.push_back(COSettingsTextItem{"userName-input", "E-mail", state.userName.get(), false});
  e.push_back(COSettingsTextItem{"password-input", "Password", std::nullopt, true});
  e.push_back(COSettingsButtonItem{"login-action", "Login"});
  e.push_back(COSettingsLabelItem{"Forgot your password? [click here](" + state.webUrl +
                                  "/forgotPassword)"});
}

void AppendCreateAccountForm(COSettingsElementsGroup& group, const PluginState& state) {
  auto& e = group.elements;
  e.push_back(COSettingsLabelItem{
      "Choose your account name so that it can be used it urls like accountName." +
      WebDomain(state.webUrl)});
  e.push_back(COSettingsLabelItem{"Only letters, numbers and - are allowed"});
  e.push_back(COSettingsTextItem{"createAccountName-input", "Account name", std::nullopt, false});
  e.push_back(COSettingsTextItem{"createEmail-input", "E-mail", std::nullopt, false});
  e.push_back(COSettingsTextItem{"createPassword-input", "Password", std::nullopt, true});
  e.push_back(COSettingsButtonItem{"createDo-action", "Create"});
  e.push_back(COSettingsButtonItem{"createCancel-action", "Cancel"});
}

void AppendConnected(COSettingsElementsGroup& group, const PluginState& state) {
  auto& e = group.elements;
  e.push_back(
      COSettingsLabelItem{"You can start publishing via context menu right click > publish"});
  e.push_back(COSettingsLabelItem{"Connected to " + state.account.get().value_or("")});
  e.push_back(COSettingsButtonItem{"logout-action", "Logout"});
}

void AppendNoAccounts(COSettingsElementsGroup& group) {
  auto& e = group.elements;
  e.push_back(COSettingsLabelItem{""});
  e.push_back(COSettingsButtonItem{"refreshAccounts-action", "Refresh account list"});
  e.push_back(COSettingsLabelItem{"Or"});
  e.push_back(COSettingsButtonItem{"logout-action", "Logout"});
}

void AppendAccountChooser(COSettingsElementsGroup& group,
                          const std::vector<std::string>& accounts) {
  COSettingsMultipleListItem chooser{"accounts-action", "Select your account:", {}, true};
  for (const auto& name : accounts)
    chooser.options.push_back(COSettingsListOption::Make(name, name));
  group.elements.push_back(std::move(chooser));
}

std::string WebDomain(const std::string& webUrl) {
  std::string_view rest = webUrl;
  if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    rest.remove_prefix(scheme + 3);
  }
  return std::string(rest.substr(0, rest.find_first_of("/:?#")));
}

}  // namespace vorelia
