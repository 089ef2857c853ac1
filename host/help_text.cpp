#include "help_text.h"

namespace vorelia::host {

const char* helpText() {
  return R"help(cohost: a command-line host for Capture One plugin bundles

USAGE
  cohost [--json] [--bundle PATH] shell
      Reads one command per line from standard input until end of input or `quit`. On a
      terminal it shows the prompt "cohost> " (on the error stream) and edits lines as libedit
      does (arrows, Ctrl-R; Up and Down walk the history of this session); Ctrl-C drops the line
      being typed.
  cohost [--json] [--bundle PATH] run [--keep-going] FILE
      Runs the commands in FILE, one per line. Blank lines and lines whose first non-blank
      character is '#' are skipped. Stops at the first command that fails, unless --keep-going.
      Errors start with FILE:LINE:.
  cohost [--json] [--bundle PATH] COMMAND ARGS...
      Runs one command, its arguments taken from the command line.
  cohost help
      Prints this text.
  cohost --version
      Prints cohost's version.

OPTIONS
  --json           One JSON object per command result, each on its own line (shapes below).
  --bundle PATH    The plugin bundle (a .coplugin folder) to load.
  --keep-going     With `run`: carry on after a command fails.
  --document DIR   Open the folder DIR as a document of the catalogue (repeatable; see below).
  --choose NAME    When several documents are open, the one the plugin's scripts work on (by
                   folder name, ignoring case); the first when not given.

THE CATALOGUE
  A document is a folder (a session); its current collection is the images in it (files with an
  image extension); each image has one variant whose metadata lives in the XMP sidecar
  "IMAGE.xmp" beside it: keywords in dc:subject, content description in dc:description, rating
  in xmp:Rating, colour tag in xmp:Label. The plugin writes into the catalogue by running scripts
  with cohost-osascript (installed beside cohost), which understands exactly the plugin's keyword
  and ratings scripts, carries them out on the chosen document's sidecars (each replaced
  atomically) and refuses any other script. Documents open with --document or `open`. A script
  that is refused or fails (no document open, a --choose that names none, a sidecar that cannot
  be read) fails the command that ran it (publish, wait, or the work cohost runs as it ends) with
  the error "a catalogue script failed" and the script's error as its failure reason.

THE BUNDLE
  Taken from --bundle, else from COHOST_BUNDLE, else from the plug-ins folder
  $HOME/Library/Application Support/Capture One/Plug-ins: VoreliaC1Plugin.coplugin, or the first
  *.coplugin there by name. A bundle folder holds Info.json (principalClass, pluginVersion,
  sdkVersion, library) and the library it names, which exports COPluginSDKVersion,
  COPluginCreate and COPluginDestroy. A bundle built for another SDK version, one without these
  entry points, or one that does not provide its principal class is refused. One plugin instance
  is created before the first command and destroyed after the last.

ARGUMENTS
  Arguments are separated by white space. An argument that starts with '"' is a JSON string, so it
  may hold spaces and escapes ("My album", "a\"b"); one that starts with '[' or '{' is a JSON
  array or object running to its matching bracket.
  ID        a settings element's identifier. It must be on the page the plugin draws now (for
            action-set: on the action's panel); any other is a usage error naming those there.
  VALUE     a JSON literal: a string ("text"), a number (3), a Boolean (true) or an array of
            strings (["a","b"]); anything else is a usage error. A list takes one of its
            options' values (a string), a multiple-choice list an array of them; any other value
            is a usage error naming the options. For `set`, - reads the value (a string) from
            the next line of standard input, not echoed on a terminal: the way to give a
            password. When the line is refused before it reads the value (a mistyped ID), the
            next line is read and dropped all the same (unless it is a terminal's), so that a
            password is never run as a command.
  ACTION    a publishing action's identifier. It names the action last offered by `actions` (which
            is asked for one file first when it has not run yet); an identifier never offered is
            a usage error naming the offered ones.
  SETTINGS  a JSON object of action settings, each a string, number, Boolean or array of strings.
            When given it replaces the settings cohost keeps for ACTION; when omitted the kept
            settings are used.
  N, FILE   a whole number of files; a file path
  DIR       a folder

COMMANDS
  page                          the plugin's preference page: its groups and their elements
  set ID VALUE                  tell the plugin that element ID now has VALUE
  press ID                      click element ID (a button)
  actions N                     the publishing actions offered for N files, each with its image
  action-page ACTION [SETTINGS] the action's settings panel
  action-set ACTION ID VALUE [SETTINGS]
                                tell the plugin that element ID of the action's panel now has
                                VALUE; when it accepts, VALUE is kept in the action's settings.
                                Shows whether the panel must be rebuilt.
  processing ACTION             the export settings the host applies for the action
  visibility ACTION             which export settings the user may change (hex and bit count)
  tasks ACTION FILE...          the tasks the plugin makes of exported files
  validate ACTION [SETTINGS]    whether the action's settings are valid
  publish ACTION SETTINGS FILE...
                                what the host's Publish menu does: export the files as the
                                action's processing settings ask (JPEG at the asked quality,
                                scaled to the long edge without upscaling when asked, keyword
                                metadata kept when asked) into a temporary folder, ask for the
                                tasks, run each with SETTINGS, and show its link and message.
                                The files must be images of the document cohost works on (the
                                first open, or the one --choose names), as the host exports
                                only its own images; any other file is a usage error. With no
                                document open, the files' folder is opened as a document first
                                (the plugin's scripts write there). Progress goes
                                to the error stream: "exporting N files", then a bar with
                                completed/total, the plugin's text and the time left (the time
                                so far once the total is reached), redrawn in place on a
                                terminal. The exported copies are removed afterwards, also when
                                Ctrl-C or SIGTERM stops the publication (cohost then says
                                "interrupted" and exits with 130); the originals are only read.
                                A task that gives no link fails the command.
  wait                          run the work queued on the main queue (cohost also runs it
                                before it ends)
  bundle                        the loaded bundle: its folder and what its Info.json says
  open DIR                      open the folder DIR as a document of the catalogue (one already
                                open stays where it is in the order)
  help                          this text
  quit                          stop the shell or the script

ENVIRONMENT
  COHOST_BUNDLE       the bundle to load when --bundle is not given
  HOME                the user's folder: Library, the plug-ins folder, preferences, keychain
  VORELIA_OSASCRIPT   the script interpreter the plugin runs; set to cohost-osascript beside
                      cohost when that exists and the variable is unset
  COHOST_DOCUMENTS    set by cohost for cohost-osascript: the open documents' folders, separated
                      by ':', with '%', ':' and control characters written %XX
  COHOST_CHOOSE       the document to choose when several are open (set by --choose)
  COHOST_SCRIPT_REPORT
                      set by cohost for cohost-osascript: the pipe (a file descriptor) where it
                      reports a script it refused or could not carry out
  VORELIA_API_URL     the service's API root. When it names this machine (127.0.0.0/8, ::1,
                      localhost), VORELIA_UPDATE_URL, VORELIA_QUEUE_URL and VORELIA_WEB_URL
                      that are not set point beside it (ROOT/libraries/captureone/,
                      ROOT/statsc1/messages, ROOT), never at the real service.

RESULTS
  Human output (the default) shows each result as indented text on standard output and each
  error once on standard error: its description, then its failure reason when that differs.
  With --json each result is one JSON object on its own line:
    {"command": NAME, "ok": true|false, ...members..., "error": null|ERROR}
  ERROR      {"domain": S, "code": N, "localizedDescription": S, "failureReason": S (when set)}
  A usage error reads {"command": NAME, "ok": false, "usage": "what is wrong", "error": null}.
  A bundle that cannot be loaded reads {"command": "load", "ok": false, "bundle": PATH,
  "error": ERROR} (domain "cohost"). Work that cohost runs as it ends and whose script fails
  reads as the result of a last `wait`.
  Members by command:
    page          "groups": [GROUP]
    set           "identifier", "value", "callbacks": [CALLBACK]
    press         "identifier", "callbacks": [CALLBACK]
    actions       "fileCount", "actions": [{"identifier", "displayName",
                  "image": null|{"path", "bytes"}}]
    action-page   "action", "settings", "groups": [GROUP]
    action-set    "action", "identifier", "value", "callbackAction": 0 (none) | 1 (reload),
                  "rebuild": true|false, "settings" (the kept settings afterwards)
    processing    "action", "settings": null|{KEY: {"kind": "unsigned"|"signed"|"boolean"|
                  "array"|"dictionary", "value": ...}}
    visibility    "action", "value" (a number), "hex" ("0x" and 16 digits), "bits" (how many set)
    tasks         "action", "files", "tasks": [{"action", "files", "settings"}]
    validate      "action", "settings", "valid"
    publish       "action", "files", "opened" (folders opened as documents, when any),
                  "results": [{"task", "url" (null when none), "message"} or
                  {"task", "error": ERROR}]; progress lines come first: {"progress":
                  {"exporting": N}}, then while a task runs {"progress": {"task", "completed",
                  "total", "message", "etaSeconds" (null when unknown), "elapsedSeconds"}}
    wait          "ran" (how many pieces of work ran)
    bundle        "path", "principalClass", "pluginVersion", "sdkVersion"
    open          "document" (the folder's absolute path), "name", "documents" (all open, in order)
    help          "text"
  CALLBACK   {"action": 0 (none) | 1 (reloadSettings), "value": VALUE (only when passed)}
  GROUP      {"title", "elements": [ELEMENT]}; ELEMENT has "kind" and, by kind:
             label      "value"
             text       "identifier", "title", "value" (null when none), "secure"
             button     "identifier", "title"
             bool       "identifier", "title", "value"
             list       "identifier", "title", "value" (null when none), "options"
             multilist  "identifier", "title", "options", "allowsFiltering"
             options are [{"value", "title", "separator", "imagePath" (when set)}]

EXIT STATUS
  0 when every command succeeded, 1 when an operation failed (or the bundle was refused, or a
  publication gave no link), 2 for a usage error, 130 when SIGINT or SIGTERM stopped a
  publication. In the shell and with --keep-going the most severe of all commands counts.

EXAMPLES
  Start the sandbox (the service's stand-in) and point every address of the plugin at it:
      vorelia-sandbox --seed-demo > sandbox.out &
      sleep 1; eval "$(grep ^export sandbox.out)"
  Log in and choose an account (the plugin keeps the login for later runs):
      cohost --bundle B shell
      cohost> set userName-input "demo@vorelia.test"
      cohost> set password-input -
      password-input:                      (typed without echo)
      cohost> press login-action
      cohost> set accounts-action ["demo-studio"]
      cohost> quit
  Publish a web gallery (prints its link):
      cohost --bundle B publish voreliaPublishShare \
          '{"albumsList-input":"create","albumName-input":"Holiday"}' ~/Pictures/Holiday/*.jpg
  Auto-tag the same photos (keywords and descriptions land in their XMP sidecars):
      cohost --bundle B publish voreliaPublishAI '{}' ~/Pictures/Holiday/*.jpg
  Bring a proofing album's ratings back as the colour tag Purple (a script file, one command
  a line: press checkAlbumsRatings-action, set taggingOptions-action "Purple",
  set albumRating-action ["Client picks"], wait):
      cohost --bundle B --document ~/Pictures/Holiday run ratings.cohost
  B is the bundle, e.g. build-release/VoreliaC1Plugin.coplugin.
)help";
}

}  // namespace vorelia::host
