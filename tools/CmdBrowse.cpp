// kzvol rows, ls and find: read a file-index table the way other tools and a
// restore do (every row in table order; one directory; one path).
#include <algorithm>
#include <cstdio>

#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/TableText.h"

namespace kzvol::cli {
namespace {

// Parses words that take no options into between `least` and `most` positionals.
bool Positionals(const Words& args, size_t least, size_t most, Words* out) {
    Options opts({}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return false;
    *out = opts.positional();
    out->insert(out->end(), opts.rest().begin(), opts.rest().end());
    return out->size() >= least && out->size() <= most;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Opens the table at `tablePath` and finds the row of `path` in it: 0, or the exit
// status of the one-line failure it printed.
int OpenAndResolve(const std::string& tablePath, const std::string& path, UnixFsTreeReader* table,
                   FsTreeRow* row) {
    std::string error;
    bool found = false;
    if (!OpenTable(tablePath, table, &error))
        return Fail(error);
    if (!table->Resolve(path, row, &found, &error))
        return Fail(tablePath + ": " + error);
    if (!found)
        return Fail(path + ": no such entry in the table");
    return 0;
}

}  // namespace

int RunRows(const Words& args) {
    Words words;
    if (!Positionals(args, 1, 1, &words))
        return Usage("wants one table PATH");
    UnixFsTreeReader table;
    std::string error;
    if (!OpenTable(words[0], &table, &error))
        return Fail(error);
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    bool ok = table.ForEachRow(
        [](const FsTreeRow& row) {
            Print(RowLine(row));
            return !std::ferror(stdout);
        },
        &error);
    if (!ok)
        return Fail(words[0] + ": " + error);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail("write of the output failed");
    return 0;
}

int RunLs(const Words& args) {
    Words words;
    if (!Positionals(args, 1, 2, &words))
        return Usage("wants a table PATH and at most one DIR");
    std::string dir = words.size() > 1 ? words[1] : "/";
    UnixFsTreeReader table;
    FsTreeRow row;
    if (int rc = OpenAndResolve(words[0], dir, &table, &row))
        return rc;
    if (row.type != 1) {
        Print(ListingLine(row));
        return 0;
    }
    std::vector<FsTreeRow> children;
    std::string error;
    if (!table.Children(row.inode, &children, &error))
        return Fail(words[0] + ": " + error);
    std::stable_sort(children.begin(), children.end(),
                     [](const FsTreeRow& a, const FsTreeRow& b) { return a.name < b.name; });
    for (const FsTreeRow& child : children)
        Print(ListingLine(child));
    return 0;
}

int RunFind(const Words& args) {
    Words words;
    if (!Positionals(args, 2, 2, &words))
        return Usage("wants a table PATH and a FILEPATH");
    UnixFsTreeReader table;
    FsTreeRow row;
    if (int rc = OpenAndResolve(words[0], words[1], &table, &row))
        return rc;
    Print(RowLine(row));
    return 0;
}

}  // namespace kzvol::cli
