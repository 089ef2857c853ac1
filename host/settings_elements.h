// The elements of a page or an action's panel as the user meets them: found by identifier, and a
// list that offers its options and nothing else.
#pragma once

#include <string>
#include <vector>

#include "sdk/co_settings.h"

namespace vorelia::host {

// The element of the groups with this identifier, or nullptr. A label has no identifier.
const COSettingsElement* findElement(const std::vector<COSettingsElementsGroup>& groups,
                                     const std::string& identifier);

// The identifiers of the groups' elements, in page order.
std::vector<std::string> identifiersOf(const std::vector<COSettingsElementsGroup>& groups);

// Why the user cannot choose value in element, as a usage message; empty when they can. A list
// takes one of its options' values (a string), a multiple-choice list an array of them (none
// chosen included): in the host the user picks from what the list shows. Other elements take
// any value.
std::string choiceProblem(const COSettingsElement& element, const COValue& value);

}  // namespace vorelia::host
