// The open documents that cohost hands to cohost-osascript. A document is a folder; the list
// travels in the environment variable COHOST_DOCUMENTS, and the name of the document to choose when
// several are open in COHOST_CHOOSE.
//
// Encoding of COHOST_DOCUMENTS: the folders' paths separated by ':', each with '%' written "%25",
// ':' written "%3A" and every byte below 0x20 written as '%' and two upper-case hex digits, so any
// path (a colon, a line feed, any bytes but NUL) survives the trip. An empty value is no documents.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vorelia::host {

inline constexpr const char* DocumentsVariable = "COHOST_DOCUMENTS";
inline constexpr const char* ChooseVariable = "COHOST_CHOOSE";

std::string encodeDocumentList(const std::vector<std::string>& folders);

// The folders of an encoded list, or nullopt when text is not a valid encoding (a '%' not followed
// by two hex digits, or an empty path).
std::optional<std::vector<std::string>> decodeDocumentList(std::string_view text);

// The absolute path, links resolved, of the folder dir names. Fails when dir is not a folder.
Result<std::string> documentFolder(const std::string& dir);

// Sets COHOST_DOCUMENTS to the encoded folders for the programs this process starts from now on.
// Call it once before any other thread runs, so that the variable exists: later calls then only
// replace its value, which leaves the environment's table in place for threads that read other
// variables meanwhile.
void exportDocumentList(const std::vector<std::string>& folders);

}  // namespace vorelia::host
