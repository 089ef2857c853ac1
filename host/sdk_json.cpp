#include "sdk_json.h"

#include <type_traits>
#include <variant>

namespace vorelia::host {

namespace {

Json optionsToJson(const std::vector<COSettingsListOption>& options) {
  Json list = Json::array();
  for (const COSettingsListOption& option : options) {
    Json item = {
        {"value", option.value}, {"title", option.title}, {"separator", option.isSeparator}};
    if (option.imagePath) item["imagePath"] = *option.imagePath;
    list.push_back(std::move(item));
  }
  return list;
}

Json optionalString(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json elementToJson(const COSettingsElement& element) {
  return std::visit(
      [](const auto& item) -> Json {
        using Item = std::decay_t<decltype(item)>;
        if constexpr (std::is_same_v<Item, COSettingsLabelItem>) {
          return {{"kind", "label"}, {"value", item.value}};
        } else if constexpr (std::is_same_v<Item, COSettingsTextItem>) {
          return {{"kind", "text"},
                  {"identifier", item.identifier},
                  {"title", item.title},
                  {"value", optionalString(item.value)},
                  {"secure", item.secure}};
        } else if constexpr (std::is_same_v<Item, COSettingsButtonItem>) {
          return {{"kind", "button"}, {"identifier", item.identifier}, {"title", item.title}};
        } else if constexpr (std::is_same_v<Item, COSettingsBoolItem>) {
          return {{"kind", "bool"},
                  {"identifier", item.identifier},
                  {"title", item.title},
                  {"value", item.value}};
        } else if constexpr (std::is_same_v<Item, COSettingsListItem>) {
          return {{"kind", "list"},
                  {"identifier", item.identifier},
                  {"title", item.title},
                  {"value", optionalString(item.value)},
                  {"options", optionsToJson(item.options)}};
        } else {
          static_assert(std::is_same_v<Item, COSettingsMultipleListItem>);
          return {{"kind", "multilist"},
                  {"identifier", item.identifier},
                  {"title", item.title},
                  {"options", optionsToJson(item.options)},
                  {"allowsFiltering", item.allowsFiltering}};
        }
      },
      element);
}

}  // namespace

std::optional<COValue> valueFromJson(const Json& json) {
  if (json.is_string()) return COValue(json.get<std::string>());
  if (json.is_boolean()) return COValue(json.get<bool>());
  if (json.is_number()) return COValue(json.get<double>());
  if (!json.is_array()) return std::nullopt;
  std::vector<std::string> strings;
  for (const Json& item : json) {
    if (!item.is_string()) return std::nullopt;
    strings.push_back(item.get<std::string>());
  }
  return COValue(std::move(strings));
}

Result<COActionSettingsDictionary> settingsFromJson(const Json& json) {
  if (!json.is_object()) return Failure{"SETTINGS must be a JSON object"};
  COActionSettingsDictionary settings;
  for (const auto& [key, member] : json.items()) {
    std::optional<COValue> value = valueFromJson(member);
    if (!value) {
      return Failure{"the setting \"" + key +
                     "\" is not a string, number, Boolean or array of strings"};
    }
    settings.emplace(key, std::move(*value));
  }
  return settings;
}

Json toJson(const COValue& value) {
  return std::visit([](const auto& v) { return Json(v); }, value);
}

Json toJson(const COActionSettingsDictionary& settings) {
  Json object = Json::object();
  for (const auto& [key, value] : settings) object[key] = toJson(value);
  return object;
}

bool isSet(const COError& error) {
  return !error.domain.empty() || error.code != 0 || !error.localizedDescription.empty() ||
         !error.failureReason.empty();
}

Json toJson(const COError& error) {
  Json object = {{"domain", error.domain},
                 {"code", error.code},
                 {"localizedDescription", error.localizedDescription}};
  if (!error.failureReason.empty()) object["failureReason"] = error.failureReason;
  return object;
}

Json toJson(const std::vector<COSettingsElementsGroup>& groups) {
  Json list = Json::array();
  for (const COSettingsElementsGroup& group : groups) {
    Json elements = Json::array();
    for (const COSettingsElement& element : group.elements)
      elements.push_back(elementToJson(element));
    list.push_back({{"title", group.title}, {"elements", std::move(elements)}});
  }
  return list;
}

Json toJson(const COProcessValue& value) {
  using Kind = COProcessValue::Kind;
  switch (value.kind()) {
    case Kind::unsignedInteger:
      return {{"kind", "unsigned"}, {"value", value.unsignedValue()}};
    case Kind::signedInteger:
      return {{"kind", "signed"}, {"value", value.signedValue()}};
    case Kind::boolean:
      return {{"kind", "boolean"}, {"value", value.boolValue()}};
    case Kind::array: {
      Json items = Json::array();
      for (const COProcessValue& item : value.arrayValue()) items.push_back(toJson(item));
      return {{"kind", "array"}, {"value", std::move(items)}};
    }
    case Kind::dictionary: {
      Json members = Json::object();
      for (const auto& [key, member] : value.dictionaryValue()) members[key] = toJson(member);
      return {{"kind", "dictionary"}, {"value", std::move(members)}};
    }
  }
  return nullptr;
}

Json toJson(const COProcessSettings& settings) {
  Json object = Json::object();
  for (const auto& [key, value] : settings) object[key] = toJson(value);
  return object;
}

Json toJson(const COPluginAction& action) {
  Json image = nullptr;
  if (action.image) image = {{"path", action.image->path}, {"bytes", action.image->data.size()}};
  return {{"identifier", action.identifier},
          {"displayName", action.displayName},
          {"image", std::move(image)}};
}

Json toJson(const COFileHandlingPluginTask& task) {
  return {{"action", task.action ? Json(task.action->identifier) : Json(nullptr)},
          {"files", task.files},
          {"settings", toJson(task.settings)}};
}

}  // namespace vorelia::host
