// Api: the one client of the service's HTTP API and of the storage services the plugin talks to.
// One instance per plugin, sharing the plugin's PluginState.
//
// Threads: operations may be called from any thread, also from inside another operation's
// completion. Every asynchronous operation calls its completion exactly once (success, failure,
// time-out), on the completion pool, never on the caller's thread. Authenticated operations may
// block the caller while a token is fetched. Completions keep only the shared state alive, so an
// Api may be destroyed while requests on the shared session are still under way.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/body_file.h"
#include "api/reservation.h"
#include "api/upload_info.h"
#include "model/id_list.h"
#include "model/json.h"
#include "model/plugin_state.h"
#include "platform/dispatch.h"
#include "platform/url_session.h"

namespace vorelia {

// An answer of the service: absent when the transport failed, else the parsed body (the null value
// for a body that is not JSON), whatever the HTTP status.
using JSONCompletion = std::function<void(std::optional<JSON> json)>;

// How a blob upload ended, after the session's retries: the store took the file (a 2xx answer);
// it answered otherwise, or nothing was sent (no address, a file that cannot be read); or no
// connection to it held (refused, unresolvable, reset, dropped or timed out).
enum class UploadOutcome { stored, refused, unreachable };
// Whether the session may repeat an upload after a transient failure, or sends it once.
enum class UploadAttempts { retried, once };

class Api;
// The answer of the update check and the Api that asked, so that the caller can go on with it.
using UpdateCheckCompletion =
    std::function<void(std::optional<JSON> json, std::shared_ptr<Api> api)>;

struct ApiOptions {
  // Longest wait for an answer of one JSON request (without progress).
  std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
  // Shortest time from the start of one encoding poll to the start of the next.
  std::chrono::milliseconds encodingPollPeriod{std::chrono::seconds(1)};
  // Longest gap without progress on the two upload sessions.
  std::chrono::milliseconds uploadIdleTimeout{std::chrono::seconds(180)};
  // Longest wait for encoding: no upload outlives its session's four-hour limit, so neither does
  // waiting for its encoding.
  std::chrono::milliseconds encodingWaitLimit{std::chrono::hours(4)};

  // The defaults, shortened by a time-out override in milliseconds (the text of the environment
  // variable VORELIA_REQUEST_TIMEOUT_MS, for tests that make the service stall): both time-outs
  // become at most that long. Absent, empty, not a whole number from 1, or longer than a default:
  // that default stays.
  static ApiOptions WithTimeoutOverride(const char* milliseconds);
  static ApiOptions FromEnvironment();  // WithTimeoutOverride(getenv(VORELIA_REQUEST_TIMEOUT_MS))
};

class Api : public std::enable_shared_from_this<Api> {
 public:
  // The configuration of the two upload sessions: no cache, 180 seconds without progress and four
  // hours for a whole transfer.
  static platform::URLSessionConfiguration UploadSessionConfiguration();

  // Stores the state and builds the throttles and sessions. Sends nothing. Create it with
  // std::make_shared: operations that must not block their caller keep it alive themselves.
  explicit Api(std::shared_ptr<PluginState> state, ApiOptions options = {});
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // URL builders: baseUrl followed by the operation's path, the account (or the account being
  // created) inserted as it is. Absent when the path needs a field that is absent.
  std::optional<std::string> AccountStateUrl() const;
  std::optional<std::string> IsAccountValidUrl() const;
  std::optional<std::string> CreateAccountUrl() const;
  std::optional<std::string> ComputerVisionCreditsUrl() const;
  std::optional<std::string> ContainersUrl(const std::string& containerId, bool expand) const;
  std::optional<std::string> ReorderUrl(const std::string& containerId) const;
  std::optional<std::string> InitUploadResourcesUrl(const std::string& containerId) const;
  std::optional<std::string> TriggerEncodingUrl() const;
  std::optional<std::string> ShareUrl() const;
  std::optional<std::string> CreateVisionUrl() const;
  std::optional<std::string> AnalyseUrl(const std::string& visionId) const;

  // Authentication.
  // Asks for an access token for state.userName and state.password (the password grant). The
  // callback receives the token, or nothing when there was none ("access_token" missing or not a
  // string, transport failure, or no credentials to send).
  void GetAccessToken(std::function<void(std::optional<std::string> token)> onTokenReceived);
  // How a token request ended. Without a token, serverFault tells a fault of the service or the
  // network (no answer at all: unreachable, TLS refused, time-out; a 5xx status; a page that is
  // not the service's JSON object, such as a proxy's HTML, with any status below 400) from
  // refused credentials (a 4xx, or a JSON object without a token); missing credentials are no
  // fault, since nothing was asked.
  struct TokenGrant {
    std::optional<std::string> token;
    bool serverFault = false;
  };
  // GetAccessToken with the grant's whole outcome: the same request, the same single completion.
  void RequestAccessToken(std::function<void(TokenGrant grant)> onGranted);
  // Makes sure a header younger than ten days is cached (fetching a token first, blocking the
  // caller, when it is not) and sets it as the request's "Authorization". Returns false when no
  // header could be had; the request is then left without one.
  bool SetAuthenticationHeader(platform::URLRequest& request);
  // Caches "BEARER " + token with the current date, in the state and in the user defaults, as one
  // step. Safe from any thread, also from a completion. False when the defaults could not be
  // written (the state holds the header all the same, for this run).
  bool StoreAccessToken(const std::string& token);

  // Accounts and credits.
  // The names of the accounts related to the login, in the service's order; empty on failure.
  void GetRelatedAccounts(std::function<void(std::vector<std::string> accounts)> onCompleted);
  // Blocks. Whether the service accepts state.createAccount as a new account's name.
  bool IsAccountValid();
  // Blocks. Whether the service created state.createAccount (answered 204 No Content).
  bool CreateAccount();
  void GetAccountState(JSONCompletion onCompleted);
  void GetComputerVisionCredits(JSONCompletion onCompleted);

  // Containers (albums).
  // Creates the container named by payload["name"] unless it exists; answers the container.
  void CreateContainerIfNotExists(const JSON& payload, JSONCompletion onCompleted);
  void GetContainers(bool expand, JSONCompletion onCompleted);
  // Fetches the expanded album list into state.containers without waiting, not even for a token
  // grant. While one refresh is under way, further calls are dropped; a list that arrives after
  // another account was chosen is not kept, and the chosen account's list is fetched instead.
  void RefreshContainers();
  // payload is taken over: for a large album it is the largest body the plugin sends.
  void ReorderContainer(const std::string& containerId, JSON payload, JSONCompletion onCompleted);
  // The same request with the payload already serialised (JSONListWriter); absent: no body.
  void ReorderContainer(const std::string& containerId, std::optional<std::string> payloadText,
                        JSONCompletion onCompleted);
  // The same request with the payload written to a file (JSONListWriter, piece by piece).
  void ReorderContainer(const std::string& containerId, std::shared_ptr<const BodyFile> payload,
                        JSONCompletion onCompleted);
  void GetShareUrl(const JSON& payload, JSONCompletion onCompleted);

  // Upload pipeline.
  // Reserves one upload resource per file in the album: body {"value": files}; the answer is
  // handed over whole.
  void InitUploadResource(const std::string& containerId, const std::vector<JSON>& files,
                          JSONCompletion onCompleted);
  // The same request for many files: body is {"value": files} already serialised
  // (JSONListWriter; absent: no body), and the answer is streamed into a temporary file and read
  // into a Reservation from there, which keeps it open. Absent when no answer came.
  void ReserveUploads(const std::string& containerId, std::optional<std::string> body,
                      std::function<void(std::optional<Reservation>)> onCompleted);
  // The blob address of the file: storage URL, resource id, "-o/", item name (what cannot stand
  // in a URL path percent-encoded), then the resource's signature. Absent without an upload
  // resource.
  static std::optional<std::string> UploadUrl(const std::string& storageUrl,
                                              const UploadInfo& uploadInfo);
  // Streams the file to blob storage (Put Blob, block blob) on uploadUrlSession. Waits first for
  // one of the four upload slots, blocking the caller while four uploads run. The slot is freed
  // before onCompleted runs, whatever happened; onCompleted receives the UploadInfo unchanged and
  // how the upload ended.
  void UploadFile(const std::string& storageUrl, const UploadInfo& uploadInfo,
                  std::function<void(UploadInfo uploadInfo, UploadOutcome outcome)> onCompleted,
                  UploadAttempts attempts = UploadAttempts::retried);
  // Tells the service that the file of uploadInfo is in place. onCompleted learns whether the
  // service took the request (a 2xx answer); no answer, or another status, means it will not
  // encode the file.
  void TriggerEncoding(const UploadInfo& uploadInfo,
                       std::function<void(bool accepted)> onCompleted);
  // Long-polls until the service has reported every id as encoded. onCompleted runs once, with
  // nothing, when all were reported, when a poll fails or its answer carries no "value" list, or
  // when the uploads' four-hour limit has passed; a poll without an answer within the request
  // time-out is not repeated. After an answer that reported an id done, the next poll starts at
  // once; after one that reported none, at least encodingPollPeriod after the one before it
  // started; nothing blocks meanwhile.
  void WaitForEncodingToComplete(std::vector<std::string> idsInput, JSONCompletion onCompleted);
  // The same for the ids of a large task, shared with the caller rather than copied.
  void WaitForEncodingToComplete(std::shared_ptr<const IdList> ids, JSONCompletion onCompleted);

  // Vision analysis.
  // Opens a vision (one analysis run) on the selected account: PUT without a body. The answer
  // carries "id", "uploadSas" and "storageUrl".
  void CreateVision(JSONCompletion onCompleted);
  // The blob address of one image of a vision: storage URL, vision id, "/", file name (what cannot
  // stand in a URL path percent-encoded), then the signature.
  static std::string VisionUploadUrl(const std::string& storageUrl, const std::string& visionId,
                                     const std::string& fileName, const std::string& sas);
  // Streams the file at filePath into the vision's blob storage (Put Blob, block blob) on
  // visionUrlSession. Waits first for one of the four vision slots, blocking the caller while four
  // vision uploads run. The slot is freed before onCompleted runs, whatever happened; onCompleted
  // receives state unchanged and how the upload ended. REQUIRES: fileName is escaped.
  void VisionUploadFile(const std::string& storageUrl, const std::string& filePath,
                        const std::string& visionId, const std::string& fileName,
                        const std::string& sas, const JSON& state,
                        std::function<void(JSON state, UploadOutcome outcome)> onCompleted,
                        UploadAttempts attempts = UploadAttempts::retried);
  // Asks for the analysis of one uploaded image: POST of payload to the vision's "analyse/" path.
  // itemId does not enter the request; the payload names the image.
  void Analisys(const std::string& visionId, const std::string& itemId, const JSON& payload,
                JSONCompletion onCompleted);

  // Updates and usage statistics: nothing waits for them and no failure is reported or retried.
  // Fetches the update document (state.updateUrl, no authorization). onCompleted receives the
  // parsed document, or nothing when the transport failed, whatever the status, and this Api.
  void CheckForUpdates(UpdateCheckCompletion onCompleted);
  // Downloads the archive of state.updateVersion from the update library into the Downloads
  // folder and installs it into the plug-ins folder (update_installer.h), then removes the older
  // copies there. Returns at once. Does nothing when the version is absent or is not a plain file
  // name part, or when its archive is already in the Downloads folder: that archive marks the
  // version as handled. Only a complete answer with a 2xx status, at most 1 GiB, becomes the
  // archive, and only once its install ran (installed or refused), so a failed download, or a run
  // killed before the end, is tried again at the next start. onFinished, when given, learns how it
  // ended, once, on the pool, after the last file operation.
  enum class UpdateResult {
    skipped,            // no usable version, or no Downloads folder
    alreadyDownloaded,  // the archive is in the Downloads folder: no request was made
    downloadFailed,     // no answer, an error status or a short body; nothing was saved
    notSaved,           // the archive could not be written into the Downloads folder
    notInstalled,       // the archive did not unpack cleanly; the plug-ins folder is as it was
    installed,          // unpacked and moved into place, older copies removed
  };
  void DownloadUpdate(std::function<void(UpdateResult)> onFinished = nullptr);
  // The removal of what runs killed midway left (ours only, by name, none that a live run still
  // uses): temporary downloads, hidden partial archives in the Downloads folder, and staged
  // installs beside the plug-ins folder, putting a bundle set aside back first. The folders are
  // read now, from the environment on the caller's thread; the returned work (blocking file work)
  // may run on any thread, later.
  static std::function<void()> RemovalOfLeftoversOfKilledRuns();
  // Posts the record to the statistics queue (state.queueUrl) as one Put Message. Returns at once;
  // the answer is ignored. Sends nothing when the record cannot be serialised.
  void PostToQueue(const JSON& payload);

  // Fields, in this order.
  const std::shared_ptr<PluginState> state;
  platform::DispatchSemaphore uploadThrottle{4};  // at most four uploads at once on the session
  platform::URLSession uploadUrlSession;          // blob uploads of the web-gallery workflow
  platform::DispatchSemaphore visionThrottle{4};  // at most four uploads at once on the session
  platform::URLSession visionUrlSession;          // image uploads of the auto-tagging workflow

 private:
  // Ceilings of answers read into memory or into a temporary file: a short answer (a token, a
  // check, the update document), a list (albums, accounts, long polls; the default), the
  // reservation of 100,000 files at about 1 KiB each.
  static constexpr std::uint64_t ShortAnswerLimit = std::uint64_t{1} << 20;
  static constexpr std::uint64_t ListAnswerLimit = std::uint64_t{64} << 20;
  static constexpr std::uint64_t ReservationAnswerLimit = std::uint64_t{100} << 20;

  // value's compact text, as a request body carries it; absent for a value of no JSON type or
  // with text that is not UTF-8.
  static std::optional<std::string> CompactText(const JSON& value);

  struct Call {
    std::string method = "GET";
    bool authenticated = true;
    std::optional<JSON>
        body{};  // serialised compactly, whatever its type; left out when it cannot be
    // A body that is no JSON (a form, a queue message), sent byte for byte in place of body.
    std::optional<std::string> text{};
    // A body sent from this file in place of text or body, byte for byte the same on the wire.
    // Shared, so that it lives until a request sent again after a refused login is done.
    std::shared_ptr<const BodyFile> bodyFile{};
    std::optional<std::string> contentType{};
    platform::HTTPHeaders headers{};  // further fields, in this order, after "Content-Type"
    // Safe to send twice (a GET always is): the session may then repeat it after a transient
    // failure, and its completion sees only the last attempt.
    bool repeatable = false;
    // The longest answer read into memory; a longer one fails the request as if no answer came.
    std::uint64_t maxAnswerBytes = ListAnswerLimit;
    // Off for requests whose body carries a password: their answer may not send it elsewhere.
    bool followRedirects = true;
    // Carries a file's bytes (a blob upload, the update archive): bounded by the idle time-out and
    // its session's total only. Every other request ends at its time-out counted from its start,
    // retries included, however slowly its answer arrives.
    bool streamed = false;
  };
  using DataCompletion = std::function<void(std::optional<std::string> data,
                                            std::optional<platform::URLResponse> response)>;

  // The common recipe, by which every request of this Api is built: url, method, the request
  // time-out (and, unless streamed, the same as its deadline), "Authorization" for an authenticated
  // call (fetching a token first, blocking the caller, when none is cached), "Content-Type", the
  // further fields, the body, and whether the session may retry it. Absent without a URL, or
  // without a header for an authenticated call.
  std::optional<platform::URLRequest> Request(const std::optional<std::string>& url, Call call);
  // Builds the request by the recipe and sends it on the shared session. When there is no
  // request, nothing is sent and done receives nothing (on the completion pool, like every
  // completion). An authenticated request that the service refuses with 401 (it did nothing)
  // gets its login renewed (RenewedHeader) and is sent once more with the new header; without
  // one, done receives the 401.
  void Send(const std::optional<std::string>& url, Call call, DataCompletion done);
  // Send, with the answer streamed into a temporary file instead of memory: done receives the
  // file, which is removed once done returns (open it inside done to read it later). A body file
  // goes from disk here too, so that neither a long request nor its long answer is held.
  using FileCompletion = std::function<void(std::optional<std::filesystem::path> file,
                                            std::optional<platform::URLResponse> response)>;
  void SendForFile(const std::optional<std::string>& url, Call call, FileCompletion done);
  // Send and SendForFile: start(request, bodyFile or nullptr, completion) starts the task on the
  // shared session, once and, after a refused login, once more.
  template <typename Answer, typename Start>
  void SendWith(
      const std::optional<std::string>& url, Call call, Start start,
      std::function<void(std::optional<Answer>, std::optional<platform::URLResponse>)> done);
  // After the 401 of refused, on a completion thread (it may block on the grant): the header that
  // another renewal has stored meanwhile, or that of a fresh token grant for the stored e-mail and
  // password; one renewal at a time. Absent when the grant brings no token: state.loginRenewal
  // then says why: the service refused the login (or none was stored), which is then forgotten
  // (header and password) so that the page asks for it again; or the grant met a server's fault,
  // and the login stays.
  std::optional<std::string> RenewedHeader(const platform::URLRequest& refused);
  // Removes the cached header and the password, in the state, the defaults and the keychain.
  void ForgetRefusedLogin();
  // Streams the file to the blob address with Put Blob (block blob) on session, in one of the
  // throttle's slots: waits for one first, blocking the caller while the throttle's count of
  // uploads run, and frees it when the last attempt has ended (Put Blob replaces the blob whole,
  // so the session may repeat it, unless attempts says once). Then done learns how it ended.
  // Without a URL nothing is sent and done receives refused.
  void PutBlob(platform::URLSession& session, platform::DispatchSemaphore& throttle,
               const std::optional<std::string>& url, const std::string& filePath,
               UploadAttempts attempts, std::function<void(UploadOutcome outcome)> done);
  // Send with the plain JSON completion.
  void SendForJSON(const std::optional<std::string>& url, Call call, JSONCompletion onCompleted);
  // The account path "api/{account}/..." or absent without an account.
  std::optional<std::string> AccountUrl(const std::string& pathAfterAccount) const;
  std::optional<std::string> CreateAccountBaseUrl() const;

  // pending: the indexes in ids of the ids not yet reported.
  void PollEncoding(std::shared_ptr<const IdList> ids, std::vector<std::uint32_t> pending,
                    std::chrono::steady_clock::time_point deadline, JSONCompletion onCompleted);

  const ApiOptions options_;
  // Serialises storing a new header in the state and in the defaults, so that both always hold
  // the same grant.
  std::mutex headerStoreMutex_;
  // Held by a renewal of a refused login through its token grant.
  std::mutex renewalMutex_;
};

}  // namespace vorelia
