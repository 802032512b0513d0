// Fuzz target of the INI registry parser: the input is the file's text. Every
// "[section]" and "key" the input names is looked up afterwards. Any crash or
// sanitizer report is a finding; a value must never hold a newline.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "host/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    const kzvol::IniFile ini = kzvol::IniFile::Parse(in);
    // Candidate names: every bracketed word and every word before a '='.
    std::vector<std::string> sections{""}, keys;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && keys.size() < 64;) {
        const size_t open = line.find('['), close = line.find(']');
        if (open != std::string::npos && close != std::string::npos && open < close)
            sections.push_back(line.substr(open + 1, close - open - 1));
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            keys.push_back(line.substr(0, eq));
    }
    for (const auto& section : sections)
        for (const auto& key : keys)
            if (auto value = ini.Get(section, key); value && value->find('\n') != std::string::npos)
                std::abort();
    return 0;
}
