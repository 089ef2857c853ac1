// Blob storage under "/blob/CONTAINER/NAME", answered as Azure Blob Storage answers: Put Blob
// (201), Get Blob and Get Blob Properties (200), each authorised by the store's signature.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <memory>

#include "sandbox/routes.h"
#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

constexpr std::string_view kPrefix = "/blob/";

std::string httpDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

// A refusal before the body was read: the connection closes, so that the unread body cannot be
// taken for the next request.
void refuse(httplib::Response& response, const Failure& failure) {
  sendError(response, failure.status, failure.message);
  response.set_header("Connection", "close");
}

void answerHeaders(httplib::Response& response) {
  response.set_header("x-ms-request-id", randomUuid());
  response.set_header("x-ms-version", "2020-12-06");
  response.set_header("Date", httpDate());
}

void putBlob(BlobStore& store, const std::string& blobPath, const httplib::Request& request,
             const httplib::ContentReader* reader, httplib::Response& response) {
  if (request.get_header_value("x-ms-blob-type") != "BlockBlob") {
    return refuse(response, Failure{400, "The header x-ms-blob-type: BlockBlob is required"});
  }
  if (reader == nullptr || !request.has_header("Content-Length")) {
    return refuse(response, Failure{411, "Content-Length is required"});
  }
  const std::string lengthText = request.get_header_value("Content-Length");
  std::uint64_t length = 0;
  const auto [end, error] =
      std::from_chars(lengthText.data(), lengthText.data() + lengthText.size(), length);
  if (error != std::errc{} || end != lengthText.data() + lengthText.size()) {
    return refuse(response, Failure{400, "Content-Length is not a number"});
  }
  auto writer = store.open(blobPath, length);
  if (!writer.ok()) return refuse(response, writer.failure());
  BlobStore::Writer& out = *writer.value();
  const bool received =
      (*reader)([&out](const char* data, std::size_t size) { return out.write(data, size); });
  if (!received) {
    // The client went away or sent more than announced; the writer drops its temporary file.
    return refuse(response, Failure{400, "The body did not arrive whole"});
  }
  if (const auto failure = out.commit()) return refuse(response, *failure);
  answerHeaders(response);
  response.set_header("ETag", "\"0x" + randomCode(16) + "\"");
  response.set_header("Last-Modified", httpDate());
  response.set_header("x-ms-request-server-encrypted", "false");
  response.status = 201;
}

// What a browser needs to show a blob: images by their name's extension.
std::string contentTypeOf(const std::string& blobPath) {
  const auto dot = blobPath.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : toLower(blobPath.substr(dot));
  if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
  if (extension == ".png") return "image/png";
  return "application/octet-stream";
}

void getBlob(BlobStore& store, const std::string& blobPath, bool headOnly,
             httplib::Response& response) {
  const auto size = store.size(blobPath);
  const int fd = size ? ::open(store.fileOf(blobPath).c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) return sendError(response, 404, "The blob does not exist");
  answerHeaders(response);
  response.set_header("x-ms-blob-type", "BlockBlob");
  if (headOnly) {
    ::close(fd);
    response.set_header("Content-Length", std::to_string(*size));
    response.status = 200;
    return;
  }
  // Streamed from the open file: a later write replaces the blob by a rename and leaves this
  // reader on the old bytes.
  const auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  response.status = 200;
  response.set_content_provider(
      *size, contentTypeOf(blobPath),
      [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        const ssize_t n =
            ::pread(*file, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
        if (n <= 0) return false;
        return sink.write(buffer, static_cast<std::size_t>(n));
      });
}

}  // namespace

bool isBlobPath(std::string_view rawPath) { return rawPath.starts_with(kPrefix); }

void serveBlob(BlobStore& store, const httplib::Request& request, const Target& target,
               const httplib::ContentReader* reader, httplib::Response& response) {
  const std::string blobPath = percentDecode(target.path.substr(kPrefix.size()), false);
  if (!BlobStore::isValidPath(blobPath)) {
    return refuse(response, Failure{400, "The blob name is not valid"});
  }
  const bool write = request.method == "PUT";
  const bool read = request.method == "GET" || request.method == "HEAD";
  if (!write && !read) return refuse(response, Failure{405, "Blobs are written with PUT"});
  if (const auto failure = store.verify(blobPath, target.query, write ? 'w' : 'r')) {
    return refuse(response, *failure);
  }
  if (write) return putBlob(store, blobPath, request, reader, response);
  getBlob(store, blobPath, request.method == "HEAD", response);
}

}  // namespace vorelia::sandbox
