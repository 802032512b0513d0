// Word-list files such as shared_disks: one entry per line, compared whole and
// case-sensitively. The rewrite goes through a temporary file in the list's own
// directory and a rename, never through a fixed path in /tmp.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "host/AtomicFile.h"
#include "host/EvDebug.h"
#include "host/Handles.h"

namespace {
EvDebug g_log;
}

bool string_exists_in_file(char* file, char* text) {
    static const char kContext[] = "string_exists_in_file";
    if (::access(file, R_OK) != 0) {
        g_log.Error(kContext, "File:[%s] does not exists", file);
        return false;
    }
    std::ifstream in(file);
    if (!in) {
        g_log.Error(kContext, "Could not open File[%s]", file);
        return false;
    }
    std::string word;
    while (in >> word) {
        if (word == text)
            return true;
    }
    g_log.Error(kContext, "String[%s] does not exist in File[%s]", text, file);
    return false;
}

bool add_string_to_file(char* file, char* text) {
    kzvol::UniqueFile out(std::fopen(file, "ae"));
    if (!out) {
        g_log.Error("add_string_to_file", "Could not open File[%s]", file);
        return false;
    }
    bool ok = std::fprintf(out.get(), "%s\n", text) >= 0;
    return std::fclose(out.release()) == 0 && ok;
}

bool rewrite_list_without(FILE* in, const char* file, const char* text) {
    static const char kContext[] = "delete_string_from_file";
    std::string kept;
    char* line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; (n = ::getline(&line, &capacity, in)) >= 0;) {
        std::string entry(line, static_cast<size_t>(n));
        if (!entry.empty() && entry.back() == '\n')
            entry.pop_back();
        if (entry != text)
            kept += entry + '\n';
    }
    std::free(line);
    // A list read only in part is never written back shortened.
    if (std::ferror(in)) {
        g_log.Error(kContext, "Could not read File[%s] errno=%d\n", file, errno);
        return false;
    }
    if (!kzvol::ReplaceFileContents(file, kept)) {
        g_log.Error(kContext, "Could not rewrite File[%s] errno=%d\n", file, errno);
        return false;
    }
    return true;
}

bool delete_string_from_file(char* file, char* text) {
    kzvol::UniqueFile in(std::fopen(file, "re"));
    if (!in) {
        g_log.Error("delete_string_from_file", "Could not open File[%s]", file);
        return false;
    }
    return rewrite_list_without(in.get(), file, text);
}
