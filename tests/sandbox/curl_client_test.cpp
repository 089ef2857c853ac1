// The faults as libcurl, the plugin's transport, sees them.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

struct CurlAnswer {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

CurlAnswer curlGet(const std::string& url) {
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(),
                                                                   curl_easy_cleanup);
  CurlAnswer answer;
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(
      handle.get(), CURLOPT_WRITEFUNCTION,
      +[](char* data, std::size_t size, std::size_t count, void* sink) {
        static_cast<std::string*>(sink)->append(data, size * count);
        return size * count;
      });
  answer.code = curl_easy_perform(handle.get());
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

using SandboxCurlClient = SandboxTest;

TEST_F(SandboxCurlClient, SeesEachFaultAsTheTransportReportsIt) {
  constexpr char kPath[] = "/api/accounts/some-name/isvalid";
  struct Case {
    nlohmann::json fault;
    CURLcode code;
    long status;
    bool json;
  };
  const Case cases[] = {
      {{{"drop", true}}, CURLE_GOT_NOTHING, 0, false},
      {{{"garbage", true}}, CURLE_OK, 200, false},
      {{{"status", 503}}, CURLE_OK, 503, true},
      {{{"delayMs", 1}}, CURLE_OK, 200, true},
  };
  const std::string url = "http://127.0.0.1:" + std::to_string(server_->port()) + kPath;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.dump());
    nlohmann::json fault = c.fault;
    fault["path"] = kPath;
    fault["count"] = 1;
    adminOk("POST", "/admin/faults", fault);
    const CurlAnswer answer = curlGet(url);
    EXPECT_EQ(answer.code, c.code) << curl_easy_strerror(answer.code);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(nlohmann::json::accept(answer.body), c.json) << answer.body;
  }
  EXPECT_EQ(curlGet(url).body, R"({"isValide":true})");
}

}  // namespace
}  // namespace vorelia::sandbox::testing
