// Shared by the commands that read a file-index table: opening it by its path
// and the text forms of its rows.
#pragma once

#include <cstdio>
#include <string>

#include "fstree/UnixFsTreeReader.h"

namespace kzvol::cli {

// Opens the table at `path` (TABLE, or TABLE.dat / TABLE.idx naming one of its
// files). False with *error set as the line to print.
bool OpenTable(const std::string& path, UnixFsTreeReader* table, std::string* error);

// A name made safe for one tab-separated field: backslash, tab, newline and
// carriage return become \\, \t, \n and \r.
std::string EscapeName(const std::string& name);

// "parent<TAB>inode<TAB>size<TAB>mtime<TAB>type<TAB>name\n".
std::string RowLine(const FsTreeRow& row);

// "d|- inode size YYYY-MM-DD HH:MM:SS name[/]\n", times in UTC.
std::string ListingLine(const FsTreeRow& row);

}  // namespace kzvol::cli
