// Vision analysis: opening a vision, uploading its images and asking for their analysis.
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"

namespace vorelia {

void Api::CreateVision(JSONCompletion onCompleted) {
  SendForJSON(CreateVisionUrl(), Call{.method = "PUT"}, std::move(onCompleted));
}

std::string Api::VisionUploadUrl(const std::string& storageUrl, const std::string& visionId,
                                 const std::string& fileName, const std::string& sas) {
  return storageUrl + visionId + "/" + PercentEncodePathAllowed(fileName) + sas;
}

void Api::VisionUploadFile(const std::string& storageUrl, const std::string& filePath,
                           const std::string& visionId, const std::string& fileName,
                           const std::string& sas, const JSON& state,
                           std::function<void(JSON state, UploadOutcome outcome)> onCompleted,
                           UploadAttempts attempts) {
  PutBlob(visionUrlSession, visionThrottle, VisionUploadUrl(storageUrl, visionId, fileName, sas),
          filePath, attempts, [state, onCompleted = std::move(onCompleted)](UploadOutcome outcome) {
            onCompleted(state, outcome);
          });
}

void Api::Analisys(const std::string& visionId, const std::string&, const JSON& payload,
                   JSONCompletion onCompleted) {
  SendForJSON(AnalyseUrl(visionId), Call{.method = "POST", .body = payload},
              std::move(onCompleted));
}

}  // namespace vorelia
