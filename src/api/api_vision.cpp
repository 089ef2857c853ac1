// Vision analysis: opening a vision, uploading its images and asking for their analysis.
#include <utility>

#include "api/api.h"

namespace vorelia {

using platform::URLRequest;
using platform::URLResponse;

void Api::CreateVision(JSONCompletion onCompleted) {
  SendForJSON(CreateVisionUrl(), Call{"PUT", true, std::nullopt, std::nullopt},
              std::move(onCompleted));
}

std::string Api::VisionUploadUrl(const std::string& storageUrl, const std::string& visionId,
                                 const std::string& fileName, const std::string& sas) {
  return storageUrl + visionId + "/" + fileName + sas;
}

void Api::VisionUploadFile(const std::string& storageUrl, const std::string& filePath,
                           const std::string& visionId, const std::string& fileName,
                           const std::string& sas, const JSON& state,
                           std::function<void(JSON state)> onCompleted) {
  visionThrottle.wait();
  URLRequest request;
  request.url = VisionUploadUrl(storageUrl, visionId, fileName, sas);
  request.method = "PUT";
  request.timeout = options_.requestTimeout;
  request.headers = {{"x-ms-blob-type", "BlockBlob"}};
  // The signature in the address authorises the write: no "Authorization" header. The session
  // completes every task (also one it cannot start) before it is destroyed, and the throttle
  // outlives it.
  visionUrlSession.uploadTask(std::move(request), filePath,
                              [this, state, onCompleted = std::move(onCompleted)](
                                  std::optional<std::string>, std::optional<URLResponse>,
                                  std::optional<platform::URLError>) {
                                visionThrottle.signal();
                                onCompleted(state);
                              });
}

void Api::Analisys(const std::string& visionId, const std::string&, const JSON& payload,
                   JSONCompletion onCompleted) {
  SendForJSON(AnalyseUrl(visionId), Call{"POST", true, payload, std::nullopt},
              std::move(onCompleted));
}

}  // namespace vorelia
