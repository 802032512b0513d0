// Parsing of mount-table text (the /etc/mtab and /etc/fstab format) from a stdio
// stream, so that the same code reads the live table, texts written by tests and
// fuzz inputs. Blank lines and '#' comments are skipped; the octal escapes of
// blanks, tabs, newlines and backslashes in the fields are decoded.
//
// Threads: no shared state; one stream must not be read by two threads at once.
#pragma once

#include <cstdio>
#include <vector>

#include "host/Env.h"

namespace kzvol {

// Appends one entry per table line of `stream`, fields in table order (device,
// directory, type, options, dump frequency, pass number). Stops at end of file
// or at a read error; a line longer than the reader's buffer is cut at the buffer
// and the rest of it is skipped.
void ReadMountEntries(FILE* stream, std::vector<MountTableEntry>* entries);

}  // namespace kzvol
