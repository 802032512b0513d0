// The two edits of the file-system table around a filter device: putting a file
// system's entry under the filter device, and giving the table back afterwards.
#include <mntent.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "filter/FstabRewrite.h"
#include "host/EvDebug.h"

namespace kzvol {
namespace {

EvDebug g_log;

// The characters addmntent writes in octal, and getmntent's codes for them.
const struct {
    char c;
    const char* code;
} kFstabCodes[] = {
    {' ', "\\040"}, {'\t', "\\011"}, {'\n', "\\012"}, {'\\', "\\134"}, {'\\', "\\\\"}};

// A field as addmntent writes it.
std::string FstabEscape(const std::string& field) {
    std::string out;
    for (char c : field) {
        auto code = std::find_if(std::begin(kFstabCodes), std::end(kFstabCodes),
                                 [c](const auto& k) { return k.c == c; });
        out += code == std::end(kFstabCodes) ? std::string(1, c) : std::string(code->code);
    }
    return out;
}

// A field as getmntent reads it.
std::string FstabUnescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size();) {
        auto code = std::find_if(
            std::begin(kFstabCodes), std::end(kFstabCodes),
            [&](const auto& k) { return field.compare(i, std::strlen(k.code), k.code) == 0; });
        if (code == std::end(kFstabCodes)) {
            out += field[i++];
        } else {
            out += code->c;
            i += std::strlen(code->code);
        }
    }
    return out;
}

// The mark creation puts before a line it comments out, so that undoing gives
// back only that line and never one the administrator had commented out.
std::string CreationMark(const std::string& node) {
    return "#kzvol:" + node + ":";
}

// Word `index` (0 first) of `line`, split on blanks; empty when there is none.
std::string Word(const std::string& line, size_t index) {
    static const char kBlanks[] = " \t\n\r\v\f";
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        start = line.find_first_not_of(kBlanks, start);
        if (start == std::string::npos)
            return std::string();
        size_t end = line.find_first_of(kBlanks, start);
        if (i == index)
            return line.substr(start, end == std::string::npos ? end : end - start);
        if (end == std::string::npos)
            return std::string();
        start = end;
    }
}

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first word of `line` with a /dev/mapper/ link resolved, logged as creation does.
std::string DeviceWord(const char* context, const std::string& line) {
    std::string word = FstabFirstWord(line);
    if (word.empty())
        return word;
    std::string resolved = ResolveMapperLink(word);
    if (resolved != word)
        g_log.Debug(context, "got link path =%s for dev=%s", resolved.c_str(), word.c_str());
    return resolved;
}

// What the table has to undo for `node`: the (decoded) mount directories of the
// entries whose device is `node`, and whether a line carries creation's mark.
struct FilterLines {
    std::set<std::string> dirs;
    bool marked = false;
};

FilterLines FilterLinesOf(const std::string& table, const std::string& node) {
    FilterLines found;
    const std::string mark = CreationMark(node);
    std::ifstream in(table);
    for (std::string line; std::getline(in, line);) {
        if (FstabFirstWord(line) == node)
            found.dirs.insert(FstabUnescape(Word(line, 1)));
        found.marked = found.marked || line.rfind(mark, 0) == 0;
    }
    return found;
}

// A line commented out with a plain "#" by creation before it marked its lines:
// the device's last component and the directory match.
bool UnmarkedLineOfOurs(const char* context, const std::string& line, const std::string& devName,
                        const std::set<std::string>& dirs) {
    if (line.size() < 2 || line[0] != '#' || std::isspace(static_cast<unsigned char>(line[1])))
        return false;
    const std::string rest = line.substr(1);
    const std::string device = DeviceWord(context, rest);
    return !device.empty() && LastComponent(device) == devName &&
           dirs.count(FstabUnescape(Word(rest, 1)));
}

}  // namespace

bool PutFstabUnderFilter(const FstabFiles& files, const char* context, const std::string& device,
                         const std::string& node, const struct mntent& entry) {
    auto edit = [&](const std::string& line) {
        std::string word = DeviceWord(context, line);
        g_log.DebugLvl(context, 2, "Comparing %s with %s", device.c_str(), word.c_str());
        if (word != device)
            return line;
        g_log.Debug(context, "Matching entry found rawdevpath:%s mntdevname:%s", device.c_str(),
                    word.c_str());
        return CreationMark(node) + line;
    };
    std::string tail =
        Format("%s\t%s\t%s\t%s\t%d\t%d", FstabEscape(node).c_str(),
               FstabEscape(entry.mnt_dir).c_str(), FstabEscape(entry.mnt_type).c_str(),
               FstabEscape(entry.mnt_opts).c_str(), entry.mnt_freq, entry.mnt_passno);
    return RewriteFstab(files, context, edit, tail + " \n");
}

bool TakeFstabFromFilter(const FstabFiles& files, const char* context, const std::string& node,
                         const std::string& devName, bool* changed) {
    const FilterLines found = FilterLinesOf(files.table, node);
    *changed = !found.dirs.empty() || found.marked;
    if (!*changed)
        return true;
    const std::string mark = CreationMark(node);
    auto edit = [&](const std::string& line) {
        if (FstabFirstWord(line) == node)
            return std::string();
        if (line.rfind(mark, 0) == 0)
            return line.substr(mark.size());
        bool ours = !found.marked && UnmarkedLineOfOurs(context, line, devName, found.dirs);
        return ours ? line.substr(1) : line;
    };
    return RewriteFstab(files, context, edit, std::string());
}

}  // namespace kzvol
