// Rewriting the file-system table (/etc/fstab) line by line without ever leaving it
// torn: the table is read under an advisory write lock, the new text goes to a
// temporary file beside it that is flushed and fsynced, renamed over the table, and
// the directory is fsynced. A crash leaves the old or the new table, never a mix.
// Lines of any length are kept whole.
//
// Threads and processes: rewriters serialise on the table's write lock (`lock`,
// which retries a refused lock ten times, 2 seconds apart); a rewriter that got the
// lock on a table another one has since replaced starts again on the new table.
#pragma once

#include <functional>
#include <string>

#include "host/Export.h"

struct mntent;

namespace kzvol {

struct FstabFiles {
    std::string table = "/etc/fstab";
    std::string temp = "/etc/fstab-temptalmar";
    std::string backup = "/etc/fstab.orig";
};

// Gives the text that replaces one line of the table (`line` keeps its newline,
// if it had one).
using FstabLineEdit = std::function<std::string(const std::string& line)>;

// Replaces every line of the table by edit(line) and appends `tail`. A last line
// without a newline gets one before `tail`. True when the new table replaced the
// old one; on false the old table is in place, untouched, and the cause is logged
// under `context`.
KZVOL_API bool RewriteFstab(const FstabFiles& files, const char* context, const FstabLineEdit& edit,
                            const std::string& tail);

// `path` itself, or its target when `path` resolves to a name under /dev/mapper/.
KZVOL_API std::string ResolveMapperLink(const std::string& path);

// The first whitespace-separated word of `line`; empty when there is none or when
// it is longer than 1023 bytes (no device path is that long).
KZVOL_API std::string FstabFirstWord(const std::string& line);

// Comments out the lines whose first word (a /dev/mapper/ link resolved) is `device`,
// marking each as "#kzvol:NODE:LINE", and appends "NODE\tDIR\tTYPE\tOPTIONS\tFREQ\tPASS \n"
// for `entry`, its fields escaped as addmntent does (blank, tab, newline and
// backslash as \040, \011, \012 and \134).
KZVOL_API bool PutFstabUnderFilter(const FstabFiles& files, const char* context,
                                   const std::string& device, const std::string& node,
                                   const struct mntent& entry);

// Undoes PutFstabUnderFilter: drops the lines that mount `node` and uncomments the
// lines creation marked for `node`; lines the administrator commented out stay so.
// (A table from before the mark: the commented lines whose device, a /dev/mapper/
// link resolved, has the last path component `devName` and that mount the same
// directory, compared decoded.) *changed tells whether
// the table had anything to undo; an unchanged table is not rewritten.
KZVOL_API bool TakeFstabFromFilter(const FstabFiles& files, const char* context,
                                   const std::string& node, const std::string& devName,
                                   bool* changed);

}  // namespace kzvol
