// Parser for the INI-style registry file: "[section]" headers (names may hold
// slashes), "key=value" lines, '#' and ';' comments. Blanks around names and
// values are dropped. Parses from a stream so files, tests and fuzzers share it.
#pragma once

#include <istream>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace kzvol {

class IniFile {
  public:
    static IniFile Parse(std::istream& in);
    // Empty when the file does not exist; throws KzException when it exists but
    // cannot be read.
    static IniFile Load(const std::string& path);

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;

  private:
    std::map<std::pair<std::string, std::string>, std::string> values_;
};

}  // namespace kzvol
