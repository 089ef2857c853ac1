// The libcurl callbacks of a transfer. They run on the session's I/O thread, inside
// curl_multi_perform, and never throw.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "url_policy.h"
#include "url_session_transfer.h"

namespace vorelia::platform::net {
namespace {

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "HTTP/1.1 200 OK" or "HTTP/2 200": the number after the first space; 0 when there is none.
long statusOf(std::string_view line) {
  const auto space = line.find(' ');
  long status = 0;
  for (auto i = space == std::string_view::npos ? line.size() : space + 1;
       i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

// Whether a Content-Length value names more than limit bytes (digits only; anything else is left
// to the count of the bytes that arrive).
bool tooLong(std::string_view value, std::uint64_t limit) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  std::uint64_t length = 0;
  for (const char c : value) {
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
    if (length > limit) return true;  // before the next step could overflow
  }
  return false;
}

}  // namespace

bool Transfer::startResponse(long status) {
  // Every response (an interim one, a redirect, the final one) starts afresh, so the task sees
  // only the final response's headers and body.
  status_ = status;
  bodyBytes_ = 0;
  responseHeaders_.clear();
  responseBody_.clear();
  if (download_ && !download_->truncate()) {
    fileFailure_ = WriteFailure;
    return false;
  }
  return true;
}

std::size_t Transfer::onHeader(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  const std::size_t length = size * count;
  transfer.touch();
  const std::string_view line = trimmed(std::string_view(buffer, length));
  if (line.starts_with("HTTP/")) {
    const long status = statusOf(line);
    if (!transfer.followRedirects_ && isRedirect(status)) {
      transfer.redirectRefused_ = true;
      return 0;  // ends the transfer: nothing of the answer is taken, nothing is sent on
    }
    return transfer.startResponse(status) ? length : 0;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return length;  // the blank line ending the headers
  const std::string_view name = trimmed(line.substr(0, colon));
  const std::string_view value = trimmed(line.substr(colon + 1));
  // An announced length past the limit ends the transfer before any of the body is read.
  if (transfer.maxBody_ > 0 && equalsIgnoringCase(name, "Content-Length") &&
      tooLong(value, transfer.maxBody_)) {
    transfer.tooLarge_ = true;
    return 0;
  }
  if (isRedirect(transfer.status_) && equalsIgnoringCase(name, "Location")) {
    char* current = nullptr;
    curl_easy_getinfo(transfer.easy_.get(), CURLINFO_EFFECTIVE_URL, &current);
    if (current != nullptr && !redirectAllowed(current, std::string(value))) {
      transfer.redirectRefused_ = true;
      return 0;  // ends the transfer before libcurl follows the redirect
    }
  }
  transfer.responseHeaders_.emplace_back(name, value);
  return length;
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  const std::size_t length = size * count;
  transfer.touch();
  transfer.bodyBytes_ += length;
  if (transfer.maxBody_ > 0 && transfer.bodyBytes_ > transfer.maxBody_) {
    transfer.tooLarge_ = true;
    return 0;
  }
  if (transfer.download_) {
    if (!writeAll(transfer.download_->fd(), data, length)) {
      transfer.fileFailure_ = WriteFailure;
      return 0;
    }
    return length;
  }
  transfer.responseBody_.append(data, length);
  return length;
}

std::size_t Transfer::onRead(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  UploadSource& source = *transfer.upload_;
  const std::uint64_t remaining = source.size - transfer.uploadOffset_;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size * count, remaining));
  if (wanted == 0) return 0;
  for (;;) {
    const ssize_t got =
        ::pread(source.fd.get(), buffer, wanted, static_cast<off_t>(transfer.uploadOffset_));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // A read error, or the file became shorter than the length already announced.
      transfer.fileFailure_ = ReadFailure;
      return CURL_READFUNC_ABORT;
    }
    transfer.uploadOffset_ += static_cast<std::uint64_t>(got);
    transfer.touch();
    return static_cast<std::size_t>(got);
  }
}

int Transfer::onSeek(void* self, curl_off_t offset, int origin) {
  // libcurl rewinds the body when it sends the request again (a redirect that keeps the
  // method, or a reused connection that turned out closed).
  auto& transfer = *static_cast<Transfer*>(self);
  if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  if (offset < 0 || static_cast<std::uint64_t>(offset) > transfer.upload_->size) {
    return CURL_SEEKFUNC_FAIL;
  }
  transfer.uploadOffset_ = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

int Transfer::onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& transfer = *static_cast<Transfer*>(self);
  if (down != transfer.progressDown_ || up != transfer.progressUp_) {
    transfer.progressDown_ = down;
    transfer.progressUp_ = up;
    transfer.touch();
  }
  return 0;  // cancelling goes through the session, which removes the handle
}

}  // namespace vorelia::platform::net
