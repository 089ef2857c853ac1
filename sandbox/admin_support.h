// Reading the admin interface's JSON requests. Each reader answers 400 itself and returns
// nothing when the request does not have the expected shape.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sandbox/router.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

// The body as a JSON object; an empty body reads as {}.
std::optional<nlohmann::json> adminBody(const Call& call, httplib::Response& response);

// The member name as text: required, or optional (absent reads as nothing, wrong type is 400).
std::optional<std::string> requiredText(const nlohmann::json& body, const char* name,
                                        httplib::Response& response);
bool optionalText(const nlohmann::json& body, const char* name, std::optional<std::string>& out,
                  httplib::Response& response);

// The members "credits", "creditsUsed", "creditsLimit", "extraCredits" that are present.
std::optional<CreditsPatch> creditsPatch(const nlohmann::json& body, httplib::Response& response);

// {"id"?, "name"?, "items"?: [{"id"?, "name"?, "order"?, "rating"?}]}.
std::optional<AlbumSeed> albumSeed(const nlohmann::json& body, httplib::Response& response);

// Answers the failure, or 200 with ok when there is none.
void sendOutcome(httplib::Response& response, const Outcome& outcome, const nlohmann::json& ok);

}  // namespace vorelia::sandbox
