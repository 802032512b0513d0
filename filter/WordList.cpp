// Word-list files such as shared_disks: one entry per line, compared whole and
// case-sensitively. The rewrite goes through a temporary file in the list's own
// directory and a rename, never through a fixed path in /tmp.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

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

bool delete_string_from_file(char* file, char* text) {
    static const char kContext[] = "delete_string_from_file";
    std::ifstream in(file);
    if (!in) {
        g_log.Error(kContext, "Could not open File[%s]", file);
        return false;
    }
    std::ostringstream kept;
    std::string line;
    while (std::getline(in, line)) {
        if (line != text)
            kept << line << '\n';
    }
    in.close();
    if (!kzvol::ReplaceFileContents(file, kept.str())) {
        g_log.Error(kContext, "Could not rewrite File[%s] errno=%d\n", file, errno);
        return false;
    }
    return true;
}
