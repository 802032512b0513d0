// Opening a file-index table by path, and the text forms of its rows.
#include "tools/TableText.h"

#include <unistd.h>

#include <ctime>

#include "host/EvDebug.h"

namespace kzvol::cli {
namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() > suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool OpenTable(const std::string& path, UnixFsTreeReader* table, std::string* error) {
    std::string base = path;
    if ((EndsWith(path, ".dat") || EndsWith(path, ".idx")) &&
        ::access((path + ".dat").c_str(), F_OK) != 0)
        base = path.substr(0, path.size() - 4);
    if (table->Open(base, error))
        return true;
    *error = base + ": " + *error;
    return false;
}

std::string EscapeName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string RowLine(const FsTreeRow& row) {
    return Format("%llu\t%llu\t%llu\t%u\t%u\t", static_cast<unsigned long long>(row.parent),
                  static_cast<unsigned long long>(row.inode),
                  static_cast<unsigned long long>(row.size), row.mtime,
                  static_cast<unsigned>(row.type)) +
           EscapeName(row.name) + "\n";
}

std::string ListingLine(const FsTreeRow& row) {
    time_t t = static_cast<time_t>(row.mtime);
    struct tm utc {};
    char when[32] = "?";
    if (gmtime_r(&t, &utc))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc);
    bool dir = row.type == 1;
    return Format("%c %10llu %14llu %s ", dir ? 'd' : '-',
                  static_cast<unsigned long long>(row.inode),
                  static_cast<unsigned long long>(row.size), when) +
           EscapeName(row.name) + (dir ? "/\n" : "\n");
}

}  // namespace kzvol::cli
