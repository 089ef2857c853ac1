// The "Connection" group of the preference page in each of its views, drawn from the state.
#pragma once

#include "model/plugin_state.h"
#include "sdk/co_settings.h"

namespace vorelia {

// The login form: create-account button, e-mail (the stored one), an always empty password field,
// the login button and the forgot-password link.
void AppendLoginForm(COSettingsElementsGroup& group, const PluginState& state);
// The create-account form: name hint, account name, e-mail, password, create and cancel.
void AppendCreateAccountForm(COSettingsElementsGroup& group, const PluginState& state);
// Connected to an account: how to publish, which account, logout.
void AppendConnected(COSettingsElementsGroup& group, const PluginState& state);
// Logged in, but the login has no accounts: refresh the list, or log out.
void AppendNoAccounts(COSettingsElementsGroup& group);
// Logged in with several accounts: choose one.
void AppendAccountChooser(COSettingsElementsGroup& group, const std::vector<std::string>& accounts);

// The host name of a web address ("https://www.example.com/x" gives "www.example.com").
std::string WebDomain(const std::string& webUrl);

}  // namespace vorelia
