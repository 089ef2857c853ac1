// Accounts and credits.
#include <utility>

#include "api/api.h"

namespace vorelia {

using platform::DispatchSemaphore;
using platform::URLResponse;

void Api::GetRelatedAccounts(std::function<void(std::vector<std::string>)> onCompleted) {
  Send(state->baseUrl + "api/Account/RelatedAccounts", Call{},
       [onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse>) {
         std::vector<std::string> accounts;
         if (data) {
           const JSON answer = JSON::Parse(*data);
           // The elements of an array, or the member values of an object; anything else is empty.
           if (auto elements = answer.array()) {
             for (const auto& element : *elements) accounts.push_back(element.stringValue());
           } else if (auto members = answer.dictionary()) {
             for (const auto& member : *members) accounts.push_back(member.second.stringValue());
           }
         }
         onCompleted(std::move(accounts));
       });
}

bool Api::IsAccountValid() {
  bool valid = false;
  DispatchSemaphore answered(0);
  Send(IsAccountValidUrl(), Call{.authenticated = false, .maxAnswerBytes = ShortAnswerLimit},
       [&valid, &answered](std::optional<std::string> data, std::optional<URLResponse>) {
         if (data) valid = JSON::Parse(*data)["isValide"].boolValue();
         answered.signal();
       });
  answered.wait();
  return valid;
}

bool Api::CreateAccount() {
  const auto userName = state->createUserName.get();
  const auto password = state->createPassword.get();
  // Nothing is sent without the whole form.
  const bool whole = userName && password;
  const std::optional<std::string> url = whole ? CreateAccountUrl() : std::nullopt;
  // The body carries the password: a redirect fails the creation instead of being followed.
  Call call{
      .method = "PUT",
      .authenticated = false,
      .body = whole ? std::optional<JSON>(JSON{{"username", *userName}, {"password", *password}})
                    : std::nullopt,
      .maxAnswerBytes = ShortAnswerLimit,
      .followRedirects = false};

  bool created = false;
  DispatchSemaphore answered(0);
  Send(url, std::move(call),
       [&created, &answered](std::optional<std::string>, std::optional<URLResponse> response) {
         created = response && response->statusCode == 204;
         answered.signal();
       });
  answered.wait();
  return created;
}

void Api::GetAccountState(JSONCompletion onCompleted) {
  SendForJSON(AccountStateUrl(), Call{}, std::move(onCompleted));
}

void Api::GetComputerVisionCredits(JSONCompletion onCompleted) {
  SendForJSON(ComputerVisionCreditsUrl(), Call{}, std::move(onCompleted));
}

}  // namespace vorelia
