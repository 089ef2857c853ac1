// The publish command: the host's Publish menu. It exports the files as the action's processing
// settings ask, asks for the tasks over the exported copies and runs each to its end on a thread
// of its own, as the host does.
#include <sys/eventfd.h>
#include <unistd.h>

#include <exception>
#include <thread>
#include <utility>

#include "command_call.h"
#include "commands.h"
#include "document_images.h"
#include "document_list.h"
#include "image_export.h"
#include "interrupts.h"

namespace vorelia::host {

namespace {

// A publishing task run on a thread of its own. Shared with that thread, which may outlive an
// interrupted wait: everything it touches lives here.
struct RunningTask {
  RunningTask(std::shared_ptr<COFileHandlingPluginTask> task, ProgressSink sink, std::size_t index)
      : task(std::move(task)), meter(std::move(sink), index) {}
  ~RunningTask() {
    if (done >= 0) close(done);
  }
  std::shared_ptr<COFileHandlingPluginTask> task;
  ProgressMeter meter;
  const int done = eventfd(0, EFD_CLOEXEC);  // readable once the task returned
  // Written by the task's thread before it signals done, read by the waiter after.
  std::optional<COPluginActionPublishResult> outcome;
  COError error;
};

}  // namespace

// The exported copies go away afterwards, also when SIGINT or SIGTERM stops the publication.
void CommandInterpreter::publish(Call& call) {
  const std::optional<std::vector<std::string>> files = call.files(2);
  const std::optional<Target> target = files ? this->target(call, 1) : std::nullopt;
  if (!target) return;
  call.result["files"] = *files;
  const Result<std::vector<std::string>> from = documentsToPublishFrom(documents_, *files);
  if (!from) return call.usage(from.error());
  if (*from != documents_) {  // none was open
    documents_ = *from;
    exportDocumentList(documents_);
    call.result["opened"] = documents_;
  }
  InterruptScope catching;

  const std::optional<COProcessSettings> processing =
      target->publishing.processingSettings(*target->action, &call.error);
  if (!processing) return call.fail();
  const Result<ExportRecipe> recipe = recipeFor(*processing);
  if (!recipe) return call.hostError(recipe.error());
  const Result<ExportFolder> folder = ExportFolder::create();
  if (folder && progress_) progress_({{"exporting", files->size()}});
  const Result<std::vector<ExportedImage>> exported =
      folder ? exportImages(*files, *recipe, folder->path(), [] { return interrupted(); })
             : Failure{folder.error()};
  if (interrupted()) {
    call.interrupted = true;
    return;
  }
  if (!exported) return call.hostError(exported.error());
  std::vector<std::string> exportedFiles;
  for (const ExportedImage& image : *exported) exportedFiles.push_back(image.exported.string());

  const auto tasks = target->publishing.tasks(target->action, exportedFiles, &call.error);
  if (tasks.empty() && isSet(call.error)) return call.fail();
  Json results = Json::array();
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (!tasks[i]) continue;
    tasks[i]->settings = *target->settings;
    COError error;
    const std::optional<COPluginActionPublishResult> outcome =
        runTask(call, target->publishing, tasks[i], i, &error);
    if (call.interrupted) return;
    Json entry = {{"task", i}};
    if (outcome) {
      entry["url"] = outcome->url ? Json(*outcome->url) : Json(nullptr);
      entry["message"] = outcome->message;
      // An error beside a result: the task ran but lost files (the message names them).
      if (isSet(error)) {
        entry["error"] = toJson(error);
        if (!isSet(call.error)) call.error = error;
        call.fail();
      }
      // A publication is for its link: without one it did not happen, whatever the message says.
      if (!outcome->url && !isSet(call.error)) {
        call.error = COError{HostErrorDomain, 2, "the publication made no link", ""};
      }
      if (!outcome->url) call.fail();
    } else {
      entry["error"] = toJson(error);
      if (!isSet(call.error)) call.error = error;
      call.fail();
    }
    results.push_back(std::move(entry));
  }
  call.result["results"] = std::move(results);
}

std::optional<COPluginActionPublishResult> CommandInterpreter::runTask(
    Call& call, COPublishingPlugin& publishing, std::shared_ptr<COFileHandlingPluginTask> task,
    std::size_t index, COError* error) {
  auto running = std::make_shared<RunningTask>(std::move(task), progress_, index);
  if (running->done < 0) {
    *error = COError{HostErrorDomain, 1, "cannot wait for the task (eventfd failed)", ""};
    return std::nullopt;
  }
  std::thread worker([running, &publishing] {
    try {
      running->outcome =
          publishing.startPublishingTask(*running->task, running->meter.block(), &running->error);
    } catch (const std::exception& e) {
      running->error = COError{HostErrorDomain, 1,
                               std::string("the task ended with an exception: ") + e.what(), ""};
    } catch (...) {
      running->error = COError{HostErrorDomain, 1, "the task ended with an exception", ""};
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(running->done, &one, sizeof one);
  });
  while (!waitReadable(running->done, liveProgress_ ? 1000 : -1)) {
    if (interrupted()) {
      // The plugin's task cannot be stopped from outside; it ends with the process.
      worker.detach();
      call.interrupted = true;
      return std::nullopt;
    }
    running->meter.refresh();
  }
  worker.join();
  *error = running->error;
  return running->outcome;
}

}  // namespace vorelia::host
