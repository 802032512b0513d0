// INI parsing for the host configuration.
#include "host/IniFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "host/KzException.h"

namespace kzvol {
namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

}  // namespace

IniFile IniFile::Parse(std::istream& in) {
    IniFile ini;
    std::string section, raw;
    while (std::getline(in, raw)) {
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close != std::string::npos)
                section = Trim(line.substr(1, close - 1));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        ini.values_[{section, Trim(line.substr(0, eq))}] = Trim(line.substr(eq + 1));
    }
    return ini;
}

IniFile IniFile::Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT)
            return IniFile();
        throw KzException("cannot read configuration " + path + ": " + std::strerror(errno));
    }
    return Parse(in);
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
    auto it = values_.find({section, key});
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

}  // namespace kzvol
