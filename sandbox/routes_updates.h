// The update library and the statistics queue of the sandbox: the storage the plugin reaches
// outside the service's API.
#pragma once

#include <filesystem>
#include <optional>

#include "sandbox/message_queue.h"
#include "sandbox/router.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

// GET /libraries/captureone/{file}: the file of that name in folder (the update document
// "details.json" and the plug-in archives), streamed. 404 for any other name (hidden, with a
// path in it, not a regular file) and for every name when there is no folder.
void addUpdateLibraryRoutes(Router& router, std::optional<std::filesystem::path> folder);

// POST /statsc1/messages?SAS: Put Message. 201 with the message's id; 403 without a signature
// of the queue that grants adding; 400 for a body that is not a queue message; 413 for a text
// larger than the queue allows.
void addQueueRoutes(Router& router, MessageQueue& queue, NowFunction now);

// GET /admin/queue: the messages, decoded, and "queuePath" (the Put Message path with the
// queue's signature); DELETE /admin/queue forgets the messages.
void addAdminQueueRoutes(Router& router, MessageQueue& queue);

}  // namespace vorelia::sandbox
