// The SDK's values in JSON and back: what cohost prints for a result and how it reads the values
// and settings a command is given. Members keep the SDK's names where it has them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "result.h"
#include "sdk/co_plugin_base.h"

namespace vorelia::host {

// Objects keep their members in the order they were added, so results read command first.
using Json = nlohmann::ordered_json;

// A string, a number, a Boolean or an array of strings; nullopt for any other JSON value.
std::optional<COValue> valueFromJson(const Json& json);
// An object whose members are values as above; fails with a usage message otherwise.
Result<COActionSettingsDictionary> settingsFromJson(const Json& json);

Json toJson(const COValue& value);
Json toJson(const COActionSettingsDictionary& settings);

// Whether the plugin put anything into the error slot.
bool isSet(const COError& error);
// {"domain", "code", "localizedDescription"} and "failureReason" when there is one.
Json toJson(const COError& error);

// [{"title", "elements": [{"kind", ...the element's members}]}]; kind is one of label, text,
// button, bool, list, multilist.
Json toJson(const std::vector<COSettingsElementsGroup>& groups);

// Typed, because the host reads unsigned and signed integers differently:
// {"kind": "unsigned"|"signed"|"boolean"|"array"|"dictionary", "value": ...}.
Json toJson(const COProcessValue& value);
Json toJson(const COProcessSettings& settings);

// {"identifier", "displayName", "image": null or {"path", "bytes"}}
Json toJson(const COPluginAction& action);
// {"action": the action's identifier, "files", "settings"}
Json toJson(const COFileHandlingPluginTask& task);

}  // namespace vorelia::host
