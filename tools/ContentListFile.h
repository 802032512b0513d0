// The content-list file of kzvol content-snap: what one snapshot run made, kept
// so that a later run can release it. A text file: the line "kzvol-content-list 1",
// then per content item a line "item<TAB>PATH" followed by one line
// "snap<TAB>MOUNTPOINT<TAB>DEVICE<TAB>SNAPMOUNT<TAB>STATUS" per record. Backslash,
// tab and newline inside a field are written \\, \t and \n.
#pragma once

#include <string>

#include "metadata/ContentList.h"

namespace kzvol::cli {

// The file's text for `list` (its first `count` items).
std::string FormatContentList(const kz_subclient_contentlist& list);

// Parses a content-list file's text into *list (count = items, snapCount =
// records). False with *error naming the first bad line.
bool ParseContentList(const std::string& text, kz_subclient_contentlist* list, std::string* error);

}  // namespace kzvol::cli
