// Writing and reading the content-list file.
#include "tools/ContentListFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace kzvol::cli {
namespace {

const char kHeader[] = "kzvol-content-list 1";

std::string Escape(const std::string& field) {
    std::string out;
    for (char c : field) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// Splits a line at tabs and undoes Escape in each field; false on a bad escape.
bool SplitFields(const std::string& line, std::vector<std::string>* fields) {
    fields->assign(1, std::string());
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields->emplace_back();
            continue;
        }
        if (c == '\\') {
            char next = i + 1 < line.size() ? line[++i] : '\0';
            if (next == '\\')
                c = '\\';
            else if (next == 't')
                c = '\t';
            else if (next == 'n')
                c = '\n';
            else
                return false;
        }
        fields->back() += c;
    }
    return true;
}

bool ParseStatus(const std::string& text, int* status) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < 0 || v > 2)
        return false;
    *status = static_cast<int>(v);
    return true;
}

// A filter node path: "/dev/qnbf/qnbf" and a decimal minor.
bool IsFilterNode(const std::string& path) {
    const std::string prefix = "/dev/qnbf/qnbf";
    const std::string digits = path.substr(std::min(path.size(), prefix.size()));
    return path.compare(0, prefix.size(), prefix) == 0 && !digits.empty() && digits.size() < 10 &&
           digits.find_first_not_of("0123456789") == std::string::npos;
}

// "/snapmnt" followed by the record's absolute mount point, with no "." or ".."
// component that could lead the release outside "/snapmnt".
bool IsSnapshotPath(const kz_snapdevmntpath& r) {
    if (r.mntPath.empty() || r.mntPath[0] != '/' || r.snapMntPath != "/snapmnt" + r.mntPath)
        return false;
    const std::string padded = r.mntPath + "/";
    return padded.find("/./") == std::string::npos && padded.find("/../") == std::string::npos;
}

// Adds the line's item or record to *list; false with *why on a bad line.
bool AddLine(const std::vector<std::string>& f, kz_subclient_contentlist* list, std::string* why) {
    if (f[0] == "item" && f.size() == 2) {
        list->contents.push_back({0, {}, f[1]});
        return true;
    }
    if (f[0] != "snap" || f.size() != 5) {
        *why = "neither an item nor a snap line";
        return false;
    }
    if (list->contents.empty()) {
        *why = "a snap line before any item";
        return false;
    }
    kz_snapdevmntpath record{f[1], f[2], f[3], 0};
    if (!ParseStatus(f[4], &record.status)) {
        *why = "bad status";
        return false;
    }
    if (!IsSnapshotPath(record) || !IsFilterNode(record.devName)) {
        *why = "not a snapshot under /snapmnt of a filter node";
        return false;
    }
    kz_contenttosnapmnt& item = list->contents.back();
    item.snaps.push_back(record);
    ++item.snapCount;
    return true;
}

}  // namespace

std::string FormatContentList(const kz_subclient_contentlist& list) {
    std::string out = std::string(kHeader) + "\n";
    for (int i = 0; i < list.count && static_cast<size_t>(i) < list.contents.size(); ++i) {
        const kz_contenttosnapmnt& item = list.contents[static_cast<size_t>(i)];
        out += "item\t" + Escape(item.contentPath) + "\n";
        for (const kz_snapdevmntpath& r : item.snaps)
            out += "snap\t" + Escape(r.mntPath) + "\t" + Escape(r.devName) + "\t" +
                   Escape(r.snapMntPath) + "\t" + std::to_string(r.status) + "\n";
    }
    return out;
}

bool ParseContentList(const std::string& text, kz_subclient_contentlist* list, std::string* error) {
    *list = kz_subclient_contentlist();
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        *error = "line 1: not a kzvol content list";
        return false;
    }
    std::vector<std::string> fields;
    for (int number = 2; std::getline(in, line); ++number) {
        std::string why = "bad escape";
        if (!SplitFields(line, &fields) || !AddLine(fields, list, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    list->count = static_cast<int>(list->contents.size());
    return true;
}

}  // namespace kzvol::cli
