// The small functions behind the persistent configuration kept for the filter
// driver: the cluster test, the serial-number lookup, the word-list files
// (shared_disks) and the reader of /etc/qnbf.conf. No locks are taken; word lists
// are rewritten atomically (temporary file in the same directory, then rename), so
// a reader sees either the old or the new list.
#pragma once

#include <string>

#include "host/Export.h"

// True for a cluster virtual client: a non-empty display name whose configuration
// marks it as a cluster group client.
KZVOL_API bool is_VM(const std::string& displayName);

// Runs "<dBASEHOME>/kzclx.sh uuid INSTANCE DISPLAYNAME DEVICE" (arguments quoted for
// the shell) and gives its output without trailing blanks, newlines, returns and
// tabs. False when the base directory is unknown or the command fails.
KZVOL_API bool get_serial_number(char* device, const std::string& instance,
                                 const std::string& displayName, std::string& serial);

// True when `text` is one whitespace-separated word of `file`.
KZVOL_API bool string_exists_in_file(char* file, char* text);
// Appends "text\n" to `file`, creating it when missing.
KZVOL_API bool add_string_to_file(char* file, char* text);
// Rewrites `file` without the lines equal to `text`. True only when the rewritten
// list replaced the old one; on false the old list is left as it was.
KZVOL_API bool delete_string_from_file(char* file, char* text);

// Looks `key` up in /etc/qnbf.conf: the first line starting with `key` gives the
// text after its first "=" (or the whole line without one), leading blanks and tabs
// skipped, newline dropped. `value` must hold 1024 bytes; longer values are cut.
KZVOL_API bool search_qnbf_config(char* key, char* value);
