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

}  // namespace

int RunRows(const Words& args) {
    Words words;
    if (!Positionals(args, 1, 1, &words))
        return Fail("usage: kzvol rows PATH");
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
        return Fail("usage: kzvol ls PATH [DIR]");
    std::string dir = words.size() > 1 ? words[1] : "/";
    UnixFsTreeReader table;
    std::string error;
    FsTreeRow row;
    bool found = false;
    if (!OpenTable(words[0], &table, &error))
        return Fail(error);
    if (!table.Resolve(dir, &row, &found, &error))
        return Fail(words[0] + ": " + error);
    if (!found)
        return Fail(dir + ": no such entry in the table");
    if (row.type != 1) {
        Print(ListingLine(row));
        return 0;
    }
    std::vector<FsTreeRow> children;
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
        return Fail("usage: kzvol find PATH FILEPATH");
    UnixFsTreeReader table;
    std::string error;
    FsTreeRow row;
    bool found = false;
    if (!OpenTable(words[0], &table, &error))
        return Fail(error);
    if (!table.Resolve(words[1], &row, &found, &error))
        return Fail(words[0] + ": " + error);
    if (!found)
        return Fail(words[1] + ": no such entry in the table");
    Print(RowLine(row));
    return 0;
}

}  // namespace kzvol::cli
