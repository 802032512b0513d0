// Command-line parsing for the kzvol tool: positional words, "--name value" or
// "--name=value" options, "--flag" switches, and "--" ending the options.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kzvol::cli {

class Options {
  public:
    // `valued` options take the next word as their value; `flags` take none.
    Options(std::set<std::string> valued, std::set<std::string> flags)
        : valued_(std::move(valued)), flags_(std::move(flags)) {}

    // False with *error set on an unknown option or a missing value.
    bool Parse(const std::vector<std::string>& words, std::string* error);

    const std::vector<std::string>& positional() const { return positional_; }
    // Words after "--", untouched.
    const std::vector<std::string>& rest() const { return rest_; }
    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& fallback = "") const;
    // Parses an unsigned decimal value; false with *error set when it is not one.
    bool GetU64(const std::string& name, uint64_t fallback, uint64_t* out,
                std::string* error) const;

  private:
    std::set<std::string> valued_, flags_;
    std::vector<std::string> positional_, rest_;
    std::map<std::string, std::string> values_;
};

}  // namespace kzvol::cli
