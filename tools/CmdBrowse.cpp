// kzvol rows, ls and find: read a file-index table the way other tools and a
// restore do (every row in table order; one directory; one path). ls and find
// also take a backup repository with --backup ID (default: the newest backup).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "backup/PointFiles.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/TableText.h"

namespace kzvol::cli {
namespace {

// Parses `args` into between `least` and `most` positionals; `backup` (may be
// null) receives the value of --backup, which only then is accepted.
bool Positionals(const Words& args, size_t least, size_t most, Words* out,
                 std::string* backup = nullptr) {
    Options opts(backup ? std::set<std::string>{"backup"} : std::set<std::string>{}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return false;
    *out = opts.positional();
    out->insert(out->end(), opts.rest().begin(), opts.rest().end());
    if (backup)
        *backup = opts.Get("backup");
    return out->size() >= least && out->size() <= most;
}

// The table a browse reads: `first` itself, or, when it is a repository (or
// --backup is given), the index of backup `backup` in it. 0, or the exit status
// of the failure printed.
int TableOf(const std::string& first, std::string backup, std::string* table) {
    struct stat st;
    const bool repository = ::stat(first.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!repository && backup.empty()) {
        *table = first;
        return 0;
    }
    if (!repository)
        return Fail("no repository " + first);
    backup::Repository repo(first);
    if (backup.empty() && (backup = repo.NewestId()).empty())
        return Fail("no backup in " + first);
    std::string error;
    if (!backup::BackupTable(repo, backup, table, &error))
        return Fail(error);
    return 0;
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
    std::string backup, tablePath;
    if (!Positionals(args, 1, 2, &words, &backup))
        return Usage("wants a table PATH (or a repository DIR) and at most one DIR");
    if (int rc = TableOf(words[0], backup, &tablePath))
        return rc;
    std::string dir = words.size() > 1 ? words[1] : "/";
    UnixFsTreeReader table;
    FsTreeRow row;
    if (int rc = OpenAndResolve(tablePath, dir, &table, &row))
        return rc;
    if (row.type != 1) {
        Print(ListingLine(row));
        return 0;
    }
    std::vector<FsTreeRow> children;
    std::string error;
    if (!table.Children(row.inode, &children, &error))
        return Fail(tablePath + ": " + error);
    std::stable_sort(children.begin(), children.end(),
                     [](const FsTreeRow& a, const FsTreeRow& b) { return a.name < b.name; });
    for (const FsTreeRow& child : children)
        Print(ListingLine(child));
    return 0;
}

int RunFind(const Words& args) {
    Words words;
    std::string backup, tablePath;
    if (!Positionals(args, 2, 2, &words, &backup))
        return Usage("wants a table PATH (or a repository DIR) and a FILEPATH");
    if (int rc = TableOf(words[0], backup, &tablePath))
        return rc;
    UnixFsTreeReader table;
    FsTreeRow row;
    if (int rc = OpenAndResolve(tablePath, words[1], &table, &row))
        return rc;
    Print(RowLine(row));
    return 0;
}

}  // namespace kzvol::cli
