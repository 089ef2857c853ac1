// The update library (files served from a folder) and the statistics queue.
#include "sandbox/routes_updates.h"

#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "sandbox/http_util.h"

namespace vorelia::sandbox {
namespace {

namespace fs = std::filesystem;

constexpr const char* kXml = "application/xml";

std::string contentTypeOf(const fs::path& file) {
  const auto extension = toLower(file.extension().string());
  if (extension == ".json") return "application/json";
  if (extension == ".zip") return "application/zip";
  return "application/octet-stream";
}

void sendStorageError(httplib::Response& response, int status, const std::string& code,
                      const std::string& message) {
  response.status = status;
  response.set_content("<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>" + code +
                           "</Code><Message>" + message + "</Message></Error>",
                       kXml);
}

void serveLibraryFile(const std::optional<fs::path>& folder, const std::string& name,
                      httplib::Response& response) {
  const bool plainName = !name.empty() && name.front() != '.' &&
                         name.find('/') == std::string::npos &&
                         name.find('\0') == std::string::npos;
  std::error_code ec;
  const fs::path file = folder && plainName ? *folder / name : fs::path();
  if (file.empty() || !fs::is_regular_file(file, ec)) {
    return sendStorageError(response, 404, "BlobNotFound", "The specified blob does not exist.");
  }
  auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
  const auto size = fs::file_size(file, ec);
  if (ec || !*stream) {
    return sendStorageError(response, 404, "BlobNotFound", "The specified blob does not exist.");
  }
  response.status = 200;
  response.set_content_provider(
      static_cast<std::size_t>(size), contentTypeOf(file),
      [stream](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        stream->seekg(static_cast<std::streamoff>(offset));
        stream->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
        const auto got = stream->gcount();
        // A file cut short while it is served ends the answer early rather than padding it.
        return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
      });
}

}  // namespace

void addUpdateLibraryRoutes(Router& router, std::optional<fs::path> folder) {
  router.add("GET", "/libraries/captureone/{file}",
             [folder = std::move(folder)](const Call& call, httplib::Response& response) {
               serveLibraryFile(folder, call.params[0], response);
             });
}

void addQueueRoutes(Router& router, MessageQueue& queue, NowFunction now) {
  router.add("POST", "/statsc1/messages",
             [&queue, now = std::move(now)](const Call& call, httplib::Response& response) {
               const auto at = now ? now() : std::chrono::system_clock::now();
               const auto seconds =
                   std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
               std::string why;
               if (!queue.authorizesAdd(call.target.query, seconds, why)) {
                 return sendStorageError(response, 403, "AuthenticationFailed", why);
               }
               auto text = queueMessageText(call.request.body);
               if (!text) {
                 return sendStorageError(response, 400, "InvalidXmlDocument",
                                         "The body is not <QueueMessage><MessageText>...");
               }
               if (text->size() > queue.limits.maxMessageBytes) {
                 return sendStorageError(response, 413, "RequestBodyTooLarge",
                                         "The message text is larger than the queue allows.");
               }
               const std::string id = queue.add(std::move(*text), seconds);
               response.status = 201;
               response.set_content(
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?><QueueMessagesList><QueueMessage>"
                   "<MessageId>" +
                       id + "</MessageId></QueueMessage></QueueMessagesList>",
                   kXml);
             });
}

void addAdminQueueRoutes(Router& router, MessageQueue& queue) {
  router.add("GET", "/admin/queue", [&queue](const Call&, httplib::Response& response) {
    nlohmann::json answer = queue.list();
    answer["queuePath"] = "/statsc1/messages?" + queue.sasQuery();
    sendJson(response, 200, answer);
  });
  router.add("DELETE", "/admin/queue", [&queue](const Call&, httplib::Response& response) {
    queue.clear();
    sendJson(response, 200, {{"cleared", true}});
  });
}

}  // namespace vorelia::sandbox
