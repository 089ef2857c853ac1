#include "sandbox/options.h"

#include <charconv>
#include <cstdlib>
#include <limits>

namespace vorelia::sandbox {
namespace {

std::optional<long long> wholeNumber(const std::string& text, long long low, long long high) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string flag = arguments[i];
    std::optional<std::string> inlineValue;
    if (const auto equals = flag.find('='); flag.starts_with("--") && equals != std::string::npos) {
      inlineValue = flag.substr(equals + 1);
      flag.resize(equals);
    }
    const auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      // A flag is never taken for the value of the one before it ("--data --seed-demo").
      if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("-")) return arguments[++i];
      return std::nullopt;
    };
    const auto needValue = [&](const std::string& name) {
      return Failure{2, name + " needs a value"};
    };
    if (flag == "--help" || flag == "-h") {
      line.help = true;
    } else if (flag == "--seed-demo") {
      line.server.seedDemo = true;
    } else if (flag == "--port") {
      const auto text = value();
      if (!text) return needValue(flag);
      const auto port = wholeNumber(*text, 0, 65535);
      if (!port) return Failure{2, "--port needs a number from 0 to 65535, not " + *text};
      line.server.port = static_cast<int>(*port);
    } else if (flag == "--host") {
      const auto text = value();
      if (!text) return needValue(flag);
      if (!loopbackBindAddress(*text)) {
        return Failure{2, "--host " + *text +
                              " is not a loopback address; only 127.0.0.0/8, ::1 and localhost "
                              "are allowed"};
      }
      line.server.host = *text;
    } else if (flag == "--state") {
      const auto text = value();
      if (!text || text->empty()) return needValue(flag);
      line.server.stateFile = *text;
    } else if (flag == "--token-lifetime") {
      const auto text = value();
      if (!text) return needValue(flag);
      const auto seconds = wholeNumber(*text, 0, std::numeric_limits<int>::max());
      if (!seconds) return Failure{2, "--token-lifetime needs a number of seconds, not " + *text};
      line.server.tokenLifetime = std::chrono::seconds(*seconds);
    } else if (flag == "--web-url" || flag == "--public-url") {
      const auto text = value();
      if (!text) return needValue(flag);
      if (!text->starts_with("http://") && !text->starts_with("https://")) {
        return Failure{2, flag + " needs an http:// or https:// URL, not " + *text};
      }
      (flag == "--web-url" ? line.server.webUrl : line.server.publicUrl) = *text;
    } else if (flag == "--library") {
      const auto text = value();
      if (!text || text->empty()) return needValue(flag);
      line.server.libraryFolder = *text;
    } else if (flag == "--request-log") {
      const auto text = value();
      if (!text) return needValue(flag);
      const auto count = wholeNumber(*text, 1, 1000000);
      if (!count) return Failure{2, "--request-log needs a number from 1 to 1000000, not " + *text};
      line.server.requestLogCapacity = static_cast<std::size_t>(*count);
    } else if (flag == "--data") {
      const auto text = value();
      if (!text || text->empty()) return needValue(flag);
      line.server.dataFolder = *text;
    } else if (flag == "--encoding-delay-ms" || flag == "--long-poll-hold-ms") {
      const auto text = value();
      if (!text) return needValue(flag);
      const auto ms = wholeNumber(*text, 0, 24ll * 3600 * 1000);
      if (!ms) return Failure{2, flag + " needs a number of milliseconds, not " + *text};
      (flag == "--encoding-delay-ms" ? line.server.uploads.encodingDelay
                                     : line.server.uploads.longPollHold) =
          std::chrono::milliseconds(*ms);
    } else if (flag == "--quota-bytes") {
      const auto text = value();
      if (!text) return needValue(flag);
      const auto bytes = wholeNumber(*text, 0, std::numeric_limits<long long>::max());
      if (!bytes) return Failure{2, "--quota-bytes needs a number of bytes, not " + *text};
      line.server.uploads.quotaBytes = static_cast<std::uint64_t>(*bytes);
    } else if (flag == "--azurite-blob") {
      const auto text = value();
      if (!text) return needValue(flag);
      if (!text->starts_with("http://") && !text->starts_with("https://")) {
        return Failure{2, "--azurite-blob needs the blob endpoint's URL, not " + *text};
      }
      if (!line.server.azure) line.server.azure.emplace();
      line.server.azure->blobEndpoint = *text;
    } else if (flag == "--azurite-account" || flag == "--azurite-container") {
      const auto text = value();
      if (!text || text->empty()) return needValue(flag);
      if (!line.server.azure) line.server.azure.emplace();
      (flag == "--azurite-account" ? line.server.azure->accountName
                                   : line.server.azure->container) = *text;
    } else {
      return Failure{2, "unknown argument " + arguments[i]};
    }
  }
  if (line.server.azure) {
    AzureStorageOptions& azure = *line.server.azure;
    if (azure.blobEndpoint.empty())
      return Failure{2,
                     "--azurite-account and --azurite-container "
                     "need --azurite-blob"};
    if (azure.accountName.empty()) azure.accountName = kAzuriteAccountName;
    // The key is a secret: it comes from the environment, never from the command line.
    if (const char* key = std::getenv("VORELIA_AZURE_STORAGE_KEY"); key && *key) {
      azure.accountKey = key;
    } else if (azure.accountName == kAzuriteAccountName) {
      azure.accountKey = kAzuriteAccountKey;
    } else {
      return Failure{2, "the key of storage account " + azure.accountName +
                            " must be in VORELIA_AZURE_STORAGE_KEY"};
    }
  }
  return line;
}

std::string helpText() {
  return R"(vorelia-sandbox: a loopback stand-in of the Vorelia photo service, for tests and demos.

Usage: vorelia-sandbox [--port N] [--host ADDRESS] [--state FILE] [--seed-demo]
                       [--token-lifetime SECONDS] [--web-url URL] [--public-url URL]
                       [--data FOLDER]
                       [--request-log N] [--library FOLDER]
                       [--encoding-delay-ms MS] [--long-poll-hold-ms MS] [--quota-bytes N]
                       [--azurite-blob URL [--azurite-account NAME] [--azurite-container NAME]]

  --port N                  port to listen on; 0 (the default) picks a free one
  --host ADDRESS            loopback address to listen on: 127.0.0.0/8, ::1 or localhost
                            (default 127.0.0.1); any other address is refused
  --state FILE              keep the state (users, accounts, albums, tokens, shares) in FILE:
                            read at start when it exists, rewritten atomically (temporary file,
                            fsync, rename) after every change. Passwords and tokens are stored
                            only as salted hashes. Faults and recorded requests are not kept.
  --seed-demo               add the demo data: user demo@vorelia.test, password "demo-password",
                            accounts "demo-studio" (albums "Portfolio", "Client Proofs" with
                            ratings) and "demo-weddings" ("Smith Wedding"), with credits
  --token-lifetime SECONDS  lifetime of bearer tokens (default 1209600, two weeks)
  --web-url URL             base of share links (default http://127.0.0.1:PORT)
  --public-url URL          the address handed out for the sandbox's own blob storage, e.g.
                            that of a proxy in front of it (default http://127.0.0.1:PORT)
  --library FOLDER          serve the update library from FOLDER (details.json and the
                            VoreliaCaptureOnePlugin.VERSION.coplugin.zip archives)
  --request-log N           keep the last N service requests for GET /admin/requests
                            (default 1000)
  --data FOLDER             keep uploaded blobs in FOLDER (default: a temporary folder,
                            removed at exit)
  --encoding-delay-ms MS    simulated encoding time per uploaded item (default 0)
  --long-poll-hold-ms MS    longest hold of a long poll without a change (default 20000)
  --quota-bytes N           refuse reservations that take an account's reserved bytes over N
  --azurite-blob URL        hand out signatures of this Azure Storage blob endpoint (path
                            style, e.g. http://127.0.0.1:10000/devstoreaccount1) instead of the
                            sandbox's own blob storage; the container is created at start
  --azurite-account NAME    its account (default devstoreaccount1); the key is read from
                            VORELIA_AZURE_STORAGE_KEY, or is Azurite's well-known key
  --azurite-container NAME  the container for uploads (default "uploads")
  -h, --help                print this text

On start it prints one line to standard output, "listening on http://127.0.0.1:PORT", and
flushes it; everything else goes to standard error. SIGINT, SIGTERM and POST /admin/shutdown
stop it cleanly (exit status 0).

SERVICE (the plugin's API root is http://127.0.0.1:PORT/; names in paths are percent-decoded)
  POST /Token                          form grant_type=password&username=..&password=..
                                       -> {"access_token","token_type":"bearer","expires_in"}
                                       or 400 {"error":"invalid_grant","error_description"}
  GET  /api/Account/RelatedAccounts    -> ["account", ...]
  GET  /api/accounts/{name}/isvalid    -> {"isValide": bool}  (no token; 2-100 of A-Z a-z 0-9 - _)
  PUT  /api/accounts/{name}            {"username","password"} -> 204; 409 taken; 400 bad body;
                                       403 existing user with another password  (no token)
  GET  /api/Account/{account}/State    -> {"name","isActive","plan","containerCount",...}
  GET  /api/{account}/credits          -> {"credits","creditsUsed","creditsLimit","extraCredits"}
  GET  /api/{account}/containers/      -> {"value":[{"id","name","itemCount"}]}; with ?$expand
                                       each also has "value":[{"id","name","order","rating"?}]
  PUT  /api/{account}/containers/{name}      create unless an album of that name exists (case
                                       ignored); a body {"name"} wins over the path; -> the album
  POST /api/{account}/containers/{id}/$synchronize  {"value":[{"id","order"}]} -> {"hasError":false}
  POST /api/{account}/shares           {"containers":[{"id"}],"isDownloadEnabled":0|1}
                                       -> {"url":"WEBURL/a/CODE"}
  GET  /a/{code}                       the gallery page of the shared albums' images (no token)
  GET  /p/{code}                       the proofing page: the same images, each with its rating
                                       and a form that rates it (no token, no script)
  POST /p/{code}/rate                  form item=ID&rating=1..5|pick|clear (the form's fields):
                                       stars as a number, pick as true, clear withdraws it;
                                       -> 303 to /p/{code}. 404 unknown code or an item outside
                                       the shared albums, 400 no item or rating, 415 not a form
  GET  /libraries/captureone/{file}    the update library: FOLDER/{file} (404 without --library)
  POST /statsc1/messages?SAS           the statistics queue (Put Message): body
                                       <QueueMessage><MessageText>TEXT</MessageText></QueueMessage>
                                       -> 201; 403 without the queue's add signature (GET
                                       /admin/queue gives the path with it); 400 other bodies
  PUT  /api/{account}/containers/{id}/inituploadresources  {"value":[{"name","size"}]}
                                       -> {"storageUrl","value":[{"id","sas",...}]}; over the
                                       quota {"hasError":true,"message"}
  PUT  /api/{account}/encode           the upload resource {"id",...}: encode it when its blob
                                       arrived; 409 (and the item fails) when it has not
  POST /api/anonymous/longpollingstates  {"value":[ids]} -> {"value":[ids done],"failed":[..]}
                                       held until one of them is done or changes, or the hold
                                       ends; encoded items join their album
  PUT  /blob/CONTAINER/NAME?se&sp&sig  Put Blob: needs "x-ms-blob-type: BlockBlob", a length and
                                       the signature of that blob; streamed to disk -> 201.
                                       GET/HEAD read it back under a signature with "r".
  PUT  /api/{account}/visions          -> {"id","uploadSas","storageUrl"}
                                       images go to storageUrl + id + "/" + name + uploadSas,
                                       a signature for the vision's folder of the blob store
  POST /api/{account}/visions/{vision}/analyse/  {"name","escapedName", options...}
                                       -> {"hasError":false,"name","description","keywords",
                                       "cost"}, measured from the uploaded JPEG's pixels; the
                                       options' cost comes off the credits (Tags or Categories 1,
                                       Face 1, Description 2.5, the others 1.5); 402 when too
                                       few remain, 404 not uploaded, 422 not an image
  Authenticated routes need "Authorization: Bearer TOKEN" (scheme in any case); a missing,
  unknown or expired token, or an account the user is not related to, gives 401
  {"hasError":true,"message"}. Unknown routes give 404 with a JSON body.

ADMIN (JSON in, JSON out; errors are {"hasError":true,"message"} with 400 or 404)
  GET    /admin/state            users (no secrets), accounts with albums and items, shares
  POST   /admin/reset            forget all users, accounts, albums, tokens and shares
  POST   /admin/seed-demo        add the demo data (as --seed-demo)
  POST   /admin/users            {"email","password","accounts":[names]}  create or update;
                                 missing accounts are created
  POST   /admin/accounts         {"name","credits"?,"creditsUsed"?,"creditsLimit"?,"extraCredits"?}
  POST   /admin/credits          {"account","credits"?,"creditsUsed"?,"creditsLimit"?,
                                 "extraCredits"?}
  POST   /admin/albums           {"account","id"?,"name","items":[{"id"?,"name","order"?,
                                 "rating"?}]}
                                 create or update (found by id, else by name); -> the album
  POST   /admin/ratings          {"account","album","item","rating"}  album and item by id or
                                 name; rating a number, a Boolean (pick) or null (clear)
  POST   /admin/tokens           {"email","lifetimeSeconds"?} -> {"access_token",...}
  POST   /admin/tokens/expire    {"email"?}  expire every token (of one user) -> {"count"}
  POST   /admin/tokens/revoke    {"email"?}  forget every token (of one user) -> {"count"}
  GET    /admin/requests         {"requests":[{"seq","method","path","query","headers","body",
                                 "bodySize","bodyTruncated","status","fault","arrived",
                                 "answered"}],"evicted"}: the last 1000 service requests, oldest
                                 first, raw path and query, bodies cut at 64 KiB; status is null
                                 while unanswered, 0 when the connection was dropped; arrived and
                                 answered in seconds on the host's monotonic clock. Admin
                                 requests are not recorded.
  DELETE /admin/requests         forget them
  GET    /admin/faults           {"faults":[{..., "hits","remaining"}]}
  POST   /admin/faults           {"method"?,"path","query"?,"status"?,"body"?,"contentType"?,
                                 "delayMs"?,"drop"?,"garbage"?,"stall"?,"trickle"?,
                                 "count"?,"countPerPath"?} -> {"id"}
  DELETE /admin/faults           remove every fault (held requests go on)
  DELETE /admin/faults/{id}      remove one
  GET    /admin/queue            {"queuePath","messages":[{"id","insertionTime","text","decoded",
                                 "record"}],"evicted"}: the last 500 queue messages, oldest first,
                                 Base64-decoded ("decoded") and parsed as JSON ("record")
  DELETE /admin/queue            forget them
  GET    /admin/uploads          {"settings","resources":[{"id","account","containerId","name",
                                 "size","blob","stage"}]}
  POST   /admin/uploads/settings {"encodingDelayMs"?,"longPollHoldMs"?,"quotaBytes"? (null: none)}
  GET    /admin/blobs            {"blobs":[{"path","size"}]}; with ?sha256 also "sha256"
  POST   /admin/shutdown         stop the sandbox

FAULTS apply to service routes only. "path" matches the raw request path ('*' for any run of
characters, letter case ignored), "method" any method when absent, "query" the raw query
exactly when given; the oldest matching fault applies. An applied fault first holds the request:
"stall" until the fault is removed, "delayMs" for that long (or until removed). Then it answers:
"drop" closes the connection without a byte, "garbage" sends a body that is not JSON (status
200 unless "status" is given), "status" and/or "body" send those (a "body" that is not text is
sent as JSON; "contentType" labels it, JSON by default; without "body",
{"hasError":true,"message"}; without "status", 500). A fault with
none of these lets the request through to its route after the hold. "trickle" sends the
answer (the fault's or the route's) slowly: status and headers at once, then the body a byte a
second (the rest at once when the fault is removed). "count" limits it to the
next N matching requests; a used-up fault stays listed until removed. "countPerPath" limits it
to the first N requests of each path it matches (of up to 100000 paths), so that a client's
retries get through: a transient fault. Held requests lose their connection when the sandbox
stops.

Examples:
  curl -s localhost:PORT/admin/faults -d '{"method":"GET","path":"/api/*/credits","status":503}'
  # each blob's first Put Blob fails with 503, its retry passes:
  curl -s localhost:PORT/admin/faults -d '{"method":"PUT","path":"/blob/*","status":503,"countPerPath":1}'
)";
}

}  // namespace vorelia::sandbox
