// Pieces of the filter subsystem that the library uses internally and tests reach
// through the static library; not exported, not installed.
#pragma once

#include <cstdio>

#include "filter/QnbfProtocol.h"

// Fills `list` with the driver's device list (the caller sets list->cmd). True on
// success; false, logged, when the admin node cannot be opened or the request fails.
bool list_qnbf_devs(qn_getdevicelist_arg* list);

// search_qnbf_config on another file than /etc/qnbf.conf.
bool search_qnbf_config_in(const char* path, const char* key, char* value);

// delete_string_from_file with the list already open as `in`: replaces `file` with
// the lines of `in` other than `text`. False, with `file` untouched, when reading
// `in` fails part way or the replacement fails.
bool rewrite_list_without(FILE* in, const char* file, const char* text);
