// Fuzz target of the driver's configuration files read by path: the word lists
// (shared_disks) and qnbf.conf. The input's first line is the word or key, the rest
// the file. Checked besides crashes: a looked-up value fits its 1024-byte buffer,
// and removing a word leaves exactly the other lines, in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "fuzz/FuzzSupport.h"

namespace {

std::string WithoutLines(const std::string& text, const std::string& word) {
    std::istringstream in(text);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line != word)
            kept += line + "\n";
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kzvol::fuzz::Quiet();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    if (newline == std::string::npos)
        return 0;
    // The word reaches these functions as C text: it ends at its first NUL.
    std::string word = input.substr(0, newline);
    word = word.substr(0, word.find('\0'));
    const std::string file = input.substr(newline + 1);
    const std::string path = kzvol::fuzz::ScratchDir("wordlist") + "/list";
    kzvol::fuzz::Store(path, file);

    char value[1024 + 64];
    std::memset(value, 'x', sizeof value);
    if (search_qnbf_config_in(path.c_str(), word.c_str(), value) && std::strlen(value) >= 1024)
        std::abort();
    char* list = const_cast<char*>(path.c_str());
    char* text = const_cast<char*>(word.c_str());
    string_exists_in_file(list, text);
    if (!delete_string_from_file(list, text))
        return 0;
    if (kzvol::fuzz::Load(path) != WithoutLines(file, word))
        std::abort();
    // A word without blanks, added at the end of a rewritten list, is found in it.
    const bool oneWord = !word.empty() && word.find_first_of(" \t\v\f\r") == std::string::npos;
    if (add_string_to_file(list, text) && oneWord && !string_exists_in_file(list, text))
        std::abort();
    return 0;
}
