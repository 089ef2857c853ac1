// cohost-osascript: the script interpreter cohost gives the plugin in place of osascript. It runs
// the two scripts the plugin writes for the host (keywords from auto-tagging, ratings from
// proofing) against cohost's catalogue of XMP sidecars, and refuses any other script.
//
//   cohost-osascript [--choose NAME] [--document DIR]... FILE
//
// The open documents are the --document folders, else those cohost lists in COHOST_DOCUMENTS;
// the document to work on when several are open is --choose NAME, else COHOST_CHOOSE, else the
// first. Exit status 0 when the script ran, 1 when it was refused or failed (nothing is written
// then, unless the disk fails part-way), 2 for a bad command line. Messages go to the error stream
// only (the standard output is the plugin's host's), or to cohost when it runs the plugin
// (script_report.h).
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "document_list.h"
#include "host_script.h"
#include "script_effects.h"
#include "script_report.h"

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

constexpr const char* Usage = "usage: cohost-osascript [--choose NAME] [--document DIR]... FILE";

// The plugin's scripts are text of a few kilobytes per image; a larger file is not one of them.
constexpr std::uintmax_t LargestScript = 64 * 1024 * 1024;

struct Arguments {
  std::string file;
  std::optional<std::string> choose;
  std::vector<std::string> documents;
  std::string error;
  bool help = false;
};

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      arguments.help = true;
    } else if (arg == "--choose" && i + 1 < argc) {
      arguments.choose = argv[++i];
    } else if (arg == "--document" && i + 1 < argc && argv[i + 1][0] != '-') {
      arguments.documents.push_back(argv[++i]);
    } else if (arg == "--" && i + 2 == argc) {
      arguments.file = argv[++i];
    } else if (arg.starts_with("-") || !arguments.file.empty()) {
      arguments.error = Usage;
    } else {
      arguments.file = arg;
    }
  }
  if (arguments.file.empty() && !arguments.help) arguments.error = Usage;
  return arguments;
}

// Under cohost the message goes to cohost, which fails the command that ran the script with it.
int fail(const std::string& message) {
  if (!reportScriptFailure(message)) std::cerr << "cohost-osascript: " << message << "\n";
  return 1;
}

int run(int argc, char** argv) {
  Arguments arguments = parseArguments(argc, argv);
  if (arguments.help && arguments.error.empty()) {
    std::cout << Usage
              << "\n\nRuns the plugin's keyword or ratings script FILE on a document of cohost's "
                 "catalogue\n(the --document folders, else those in COHOST_DOCUMENTS) and refuses "
                 "any other script.\n";
    return 0;
  }
  if (!arguments.error.empty()) {
    std::cerr << arguments.error << "\n";
    return 2;
  }
  if (arguments.documents.empty()) {
    const char* listed = std::getenv(DocumentsVariable);
    std::optional<std::vector<std::string>> decoded = decodeDocumentList(listed ? listed : "");
    if (!decoded) return fail(std::string(DocumentsVariable) + " is not a valid document list");
    arguments.documents = std::move(*decoded);
  }
  if (!arguments.choose) {
    if (const char* choice = std::getenv(ChooseVariable); choice != nullptr && *choice != '\0') {
      arguments.choose = choice;
    }
  }

  std::error_code ec;
  if (!fs::is_regular_file(arguments.file, ec)) return fail("cannot read " + arguments.file);
  if (fs::file_size(arguments.file, ec) > LargestScript) {
    return fail(arguments.file + " is too large to be a script of the plugin");
  }
  std::ifstream in(arguments.file, std::ios::binary);
  std::string text;
  if (in.is_open()) text.assign(std::istreambuf_iterator<char>(in), {});
  if (!in.is_open() || in.bad()) return fail("cannot read " + arguments.file);

  const Result<HostScript> script = readHostScript(text);
  if (!script) return fail(arguments.file + ": " + script.error());

  const Result<std::vector<Document>> documents = openDocuments(arguments.documents);
  if (!documents) return fail(documents.error());
  const Result<const Document*> target = chooseDocument(*documents, arguments.choose);
  if (!target) return fail(target.error());

  const ScriptEffects effects = applyScript(*script, **target);
  if (!effects.error.empty()) return fail(effects.error);
  if (std::holds_alternative<KeywordScript>(*script)) {
    // The notification the script shows at the end.
    std::cerr << "Vorelia Auto Tagging Script: Tagging is complete. All images have been tagged.\n";
  }
  return 0;
}

}  // namespace

}  // namespace vorelia::host

int main(int argc, char** argv) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    const int status = vorelia::host::run(argc, argv);
    Exiv2::XmpParser::terminate();
    return status;
  } catch (const std::exception& e) {
    return vorelia::host::fail(e.what());
  } catch (...) {
    return vorelia::host::fail("unexpected failure");
  }
}
